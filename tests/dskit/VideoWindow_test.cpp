// The video window: the renderer's window placed at the run notice, full
// screen, the mixing renderer's modes and options, the control's messages,
// mouse and painting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/shell/canvas.h"
#include "platform/shell/dialog.h"
#include "tests/dskit/graph_rig.h"

namespace tw::dskit {
namespace {

using namespace graph_rig;

TEST_F(GraphTest, TheRunNoticePlacesTheRenderersWindowInTheParent) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)})});
  CaptureGraph g(false);
  ComPtr<IVideoWindowLog> log;
  g.window.QueryInterface(IVideoWindowLog::kIid, log.OutVoid());
  ASSERT_TRUE(log);
  g.graph.BroadcastControlEvent(0, 0);  // unconnected: nothing
  EXPECT_TRUE(log->Calls().empty());
  ASSERT_EQ(g.Render(), S_OK);
  ASSERT_TRUE(g.graph.RunGraph());
  g.graph.StopGraph();
  EXPECT_EQ(log->Calls(), (std::vector<std::string>{"put_Owner 77", "put_WindowStyle 44000000", "put_WindowStyleEx 0",
                                                    "SetWindowPosition 0,0,160,120",
                                                    "put_MessageDrain " + std::to_string(g.window.Handle())}));
  g.window.SetVisible(false);
  EXPECT_EQ(log->Calls().back(), "put_Visible 0");
}

TEST_F(GraphTest, FullScreenAskedBeforeTheRendererIsConnectedWaitsForTheRunNotice) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)})});
  CaptureGraph g(false);
  ComPtr<IVideoWindowLog> log;
  g.window.QueryInterface(IVideoWindowLog::kIid, log.OutVoid());
  g.window.SetFullScreen(true);
  g.window.SetFullScreenTopMost(true);
  EXPECT_TRUE(g.window.FullScreen());
  EXPECT_TRUE(log->Calls().empty());
  ASSERT_EQ(g.Render(), S_OK);
  ASSERT_TRUE(g.graph.RunGraph());
  g.graph.StopGraph();
  const std::vector<std::string> calls = log->Calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 4),
            (std::vector<std::string>{"put_Owner 0", "put_WindowStyle 0", "put_WindowStyleEx 8",
                                      "SetWindowPosition 0,0,1920,1080"}));
}

TEST(VideoWindow, DefaultsAndOptions) {
  TVideoWindow window;
  EXPECT_EQ(window.Width(), 160);
  EXPECT_EQ(window.Height(), 120);
  EXPECT_EQ(window.Color, 0u);
  EXPECT_TRUE(window.TabStop);
  TVMROptions& o = window.VMROptions();
  EXPECT_EQ(o.Streams(), 4u);
  EXPECT_EQ(o.Preferences(), 1 << vpForceMixer);
  EXPECT_EQ(o.Mode(), vmrWindowed);
  EXPECT_TRUE(o.KeepAspectRatio());
  for (auto [written, stored] : {std::pair{0u, 1u}, {17u, 1u}, {16u, 16u}, {1u, 1u}}) {
    o.SetStreams(written);
    EXPECT_EQ(o.Streams(), stored) << written;
  }
  ASSERT_TRUE(SetClassRegistered(CLSID_VideoMixingRenderer9, false));
  window.SetMode(vmVMR);  // a machine without the mixing renderer
  EXPECT_EQ(window.Mode(), vmNormal);
  SetClassRegistered(CLSID_VideoMixingRenderer9, true);
  window.SetMode(vmVMR);
  EXPECT_EQ(window.Mode(), vmVMR);
}

// ---- The video window with the mixing renderer ---------------------------------------------

// A capture graph whose window uses the mixing renderer in `mode`.
struct MixingGraph : CaptureGraph {
  explicit MixingGraph(TVMRVideoMode mode, bool activate = true) : CaptureGraph(false, false) {
    window.SetMode(vmVMR);
    window.VMROptions().SetMode(mode);
    if (activate) graph.SetActive(true);
  }
  std::vector<std::string> Calls() {
    ComPtr<IVideoWindowLog> log;
    window.QueryInterface(IVideoWindowLog::kIid, log.OutVoid());
    return log ? log->Calls() : std::vector<std::string>{};
  }
};

TEST_F(GraphTest, AWindowedMixingRendererIsConfiguredAtItsNoticesAndPlacedAtTheRunNotice) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)})});
  MixingGraph g(vmrWindowed);
  EXPECT_EQ(g.Calls(), (std::vector<std::string>{"SetRenderingMode 1", "SetNumberOfStreams 4", "SetRenderingPrefs 0",
                                                 "SetAspectRatioMode 1"}));
  EXPECT_EQ(g.window.VMROptions().Preferences(), 1 << vpForceMixer);  // the mixer request stays
  ASSERT_EQ(g.Render(), S_OK);
  ASSERT_TRUE(g.graph.RunGraph());
  g.graph.StopGraph();
  const std::vector<std::string> calls = g.Calls();
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_EQ(calls[4], "put_Owner 77");
  EXPECT_EQ(calls[7], "SetWindowPosition 0,0,160,120");  // placed; caption and drain only for the plain renderer
  g.window.VMROptions().SetKeepAspectRatio(false);
  EXPECT_EQ(g.Calls().back(), "SetAspectRatioMode 0");
}

TEST_F(GraphTest, AWindowlessMixingRendererClipsToTheControlAndFollowsItsSize) {
  MixingGraph g(vmrWindowless);
  const std::string handle = std::to_string(g.window.Handle());
  EXPECT_EQ(g.Calls(), (std::vector<std::string>{"SetRenderingMode 2", "SetNumberOfStreams 4",
                                                 "SetVideoClippingWindow " + handle, "SetRenderingPrefs 0",
                                                 "SetVideoPosition - 0,0,160,120", "SetAspectRatioMode 1"}));
  ComPtr<IVMRWindowlessControl9> control;
  EXPECT_EQ(g.window.QueryInterface(IVMRWindowlessControl9::kIid, control.OutVoid()), S_OK);
  EXPECT_TRUE(control);
  ComPtr<IVideoWindow> window;
  EXPECT_EQ(g.window.QueryInterface(IVideoWindow::kIid, window.OutVoid()), com::E_NOINTERFACE);
  g.window.SetBounds(5, 6, 320, 240);
  EXPECT_EQ(g.Calls().back(), "SetVideoPosition - 0,0,320,240");
}

TEST_F(GraphTest, MixingOptionsRebuildTheRendererOnlyWhereTheyApply) {
  MixingGraph g(vmrWindowed);
  TVMROptions& o = g.window.VMROptions();
  o.SetPreferences(0xFF);  // rebuilt: the renderer keeps what it knows, the mixer request stays
  EXPECT_EQ(o.Preferences(), kVmr9PrefsMask | (1 << vpForceMixer));
  EXPECT_EQ(g.Calls()[2], "SetRenderingPrefs FB");
  o.SetPreferences(0);
  o.SetStreams(2);  // without the mixer request only a changed count is sent
  std::vector<std::string> calls = g.Calls();
  EXPECT_EQ(calls[1], "SetNumberOfStreams 2");
  o.SetStreams(4);
  calls = g.Calls();
  EXPECT_EQ(calls[1], "SetRenderingPrefs 0");

  g.window.SetMode(vmNormal);  // the plain renderer: options are only stored
  ComPtr<IBaseFilter> before = g.window.GetFilter();
  o.SetMode(vmrWindowless);
  o.SetStreams(9);
  EXPECT_EQ(g.window.GetFilter(), before);
  EXPECT_EQ(o.Streams(), 9u);
}

TEST_F(GraphTest, ARenderlessMixingRendererCannotJoinTheGraph) {
  MixingGraph g(vmrRenderless, false);
  try {
    g.graph.SetActive(true);
    FAIL() << "activated";
  } catch (const EDSKitException& e) {
    EXPECT_STREQ(e.what(), "Allocator class not set.");
  }
  EXPECT_FALSE(g.window.GetFilter());
}

// ---- The video window's messages, mouse and painting ---------------------------------------

// A container that records the menus it shows and puts the cursor where the test says.
struct ShellHost final : shell::DialogHost {
  int32_t ShowModal(const shell::DialogSpec&) override { return shell::IDCANCEL; }
  int32_t Popup(const shell::PopupMenu& menu, shell::Point at) override {
    popups.emplace_back(menu.items.size(), at);
    return 0;
  }
  shell::Point CursorPos() override { return cursor; }
  std::vector<std::pair<size_t, shell::Point>> popups;
  shell::Point cursor{1500, 900};
};

struct ScopedShellHost {
  ShellHost host;
  shell::DialogHost* previous = shell::SetDialogHost(&host);
  ~ScopedShellHost() { shell::SetDialogHost(previous); }
};

TEST_F(GraphTest, InFullScreenTheContextMenuAndTheMouseUseTheCursorPosition) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)})});
  ScopedShellHost shell;
  CaptureGraph g(false);
  ASSERT_EQ(g.Render(), S_OK);
  const shell::PopupMenu menu{{u"One", u"Two"}, true};
  const shell::PopupMenu manual{{u"One"}, false};
  constexpr win32::UINT WM_CONTEXTMENU = 0x007B;
  const win32::LPARAM at = (20 << 16) | 10;  // (10, 20) on the screen

  struct Case {
    bool fullScreen;
    const shell::PopupMenu* menu;
    win32::LRESULT result;
    std::optional<shell::Point> shownAt;
  };
  const Case cases[] = {{false, &menu, 1, shell::Point{10, 20}},
                        {false, nullptr, 0, std::nullopt},
                        {true, &menu, 1, shell::Point{1500, 900}},
                        {true, &manual, 0, std::nullopt},  // swallowed
                        {true, nullptr, 0, std::nullopt}};
  for (const Case& c : cases) {
    g.window.SetFullScreen(c.fullScreen);
    g.window.PopupMenu = c.menu;
    shell.host.popups.clear();
    EXPECT_EQ(g.window.WindowProc(WM_CONTEXTMENU, 0, at), c.result);
    if (c.shownAt) {
      ASSERT_EQ(shell.host.popups.size(), 1u);
      EXPECT_EQ(shell.host.popups[0].first, c.menu->items.size());
      EXPECT_EQ(shell.host.popups[0].second, *c.shownAt);
    } else {
      EXPECT_TRUE(shell.host.popups.empty());
    }
  }

  std::vector<std::string> mouse;
  g.window.OnMouseDown = [&](TVideoWindow&, int b, uint32_t, int x, int y) {
    mouse.push_back("down " + std::to_string(b) + " " + std::to_string(x) + "," + std::to_string(y));
  };
  g.window.OnMouseMove = [&](TVideoWindow&, uint32_t, int x, int y) {
    mouse.push_back("move " + std::to_string(x) + "," + std::to_string(y));
  };
  g.window.OnMouseUp = [&](TVideoWindow&, int b, uint32_t, int x, int y) {
    mouse.push_back("up " + std::to_string(b) + " " + std::to_string(x) + "," + std::to_string(y));
  };
  g.window.SetFullScreen(true);
  g.window.MouseDown(1, 0, 3, 4);
  g.window.MouseMove(0, 5, 6);
  g.window.SetFullScreen(false);
  g.window.MouseUp(1, 0, 7, 8);
  EXPECT_EQ(mouse, (std::vector<std::string>{"down 1 1500,900", "move 1500,900", "up 1 7,8"}));
}

TEST(VideoWindow, PaintingFillsTheControlInItsColourThenTellsTheOwner) {
  TVideoWindow window;
  window.Color = 0x102030;
  window.SetBounds(4, 5, 64, 48);
  shell::RecordingCanvas canvas;
  size_t opsWhenTold = 99;
  window.OnPaint = [&](TVideoWindow&) { opsWhenTold = canvas.ops.size(); };
  window.Paint(canvas);
  ASSERT_EQ(canvas.ops.size(), 1u);
  EXPECT_EQ(canvas.ops[0].kind, shell::RecordingCanvas::Op::Fill);
  EXPECT_EQ(canvas.ops[0].rect, (shell::Rect{0, 0, 64, 48}));
  EXPECT_EQ(canvas.brush, (shell::Color{shell::Color::Rgb, 0x102030}));
  EXPECT_EQ(opsWhenTold, 1u);
}

TEST_F(GraphTest, StylesKeptAtLoadingShapeTheRenderersWindow) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)})});
  CaptureGraph g(false);
  g.window.Style = 0x00C40000;   // caption and sizing frame
  g.window.ExStyle = 0x00000300;  // window and client edges
  g.window.Loaded();
  ASSERT_EQ(g.Render(), S_OK);
  g.window.SetFullScreen(false);
  g.window.SetFullScreen(true);
  ComPtr<IVideoWindowLog> log;
  g.window.QueryInterface(IVideoWindowLog::kIid, log.OutVoid());
  EXPECT_EQ(log->Calls(), (std::vector<std::string>{"put_Owner 77", "put_WindowStyle 44C40000", "put_WindowStyleEx 300",
                                                    "SetWindowPosition 0,0,160,120", "put_Owner 0",
                                                    "put_WindowStyle 0", "put_WindowStyleEx 0",
                                                    "SetWindowPosition 0,0,1920,1080"}));
}

}  // namespace
}  // namespace tw::dskit
