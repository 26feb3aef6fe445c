#include "platform/com/errorinfo.h"

#include <gtest/gtest.h>

#include <thread>

namespace tw::com {
namespace {

std::u16string DescriptionOf(IErrorInfo* info) {
  Bstr d;
  info->GetDescription(d.Out());
  return std::u16string(d.View());
}

TEST(ErrorInfo, SlotIsReadOnceAndPerThread) {
  SetErrorText(GUID_NULL, u"Here", u"main thread");
  std::thread other([] {
    ComPtr<IErrorInfo> info;
    EXPECT_EQ(GetErrorInfo(0, info.Out()), S_FALSE);  // nothing leaks across threads
    EXPECT_FALSE(info);
    SetErrorText(GUID_NULL, u"There", u"other thread");
  });
  other.join();
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
  EXPECT_EQ(DescriptionOf(info.Get()), u"main thread");
  Bstr source;
  info->GetSource(source.Out());
  EXPECT_EQ(source, u"Here");
  EXPECT_EQ(GetErrorInfo(0, info.Out()), S_FALSE);
}

TEST(ErrorInfo, GuardReturnsTheFailureCodeWithTheMessage) {
  struct Case {
    const char* name;
    std::function<void()> raise;
    HRESULT expected;
    std::u16string message;
  };
  const Case cases[] = {
      {"plain exception", [] { throw std::runtime_error("Nothing to do"); }, E_UNEXPECTED, u"Nothing to do"},
      {"own HRESULT", [] { throw ComError(E_ACCESSDENIED, "denied"); }, E_ACCESSDENIED, u"denied"},
      {"non-negative code", [] { throw ComError(S_FALSE, "odd"); }, E_UNEXPECTED, u"odd"},
      {"not an exception", [] { throw 7; }, E_UNEXPECTED, u"Unknown failure"},
      {"UTF-8 message", [] { throw std::runtime_error("grüße"); }, E_UNEXPECTED, u"grüße"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(GuardMember(c.raise, IID_IErrorInfo, u"Guarded"), c.expected);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Out()), S_OK);
    EXPECT_EQ(DescriptionOf(info.Get()), c.message);
    GUID iid{};
    info->GetGUID(&iid);
    EXPECT_EQ(iid, IID_IErrorInfo);
  }
}

TEST(ErrorInfo, GuardPassesResultsThroughAndClearsStaleInfo) {
  SetErrorText(GUID_NULL, u"", u"stale");
  EXPECT_EQ(GuardMember([] { return S_FALSE; }), S_FALSE);
  EXPECT_EQ(GuardMember([] {}), S_OK);
  ComPtr<IErrorInfo> info;
  EXPECT_EQ(GetErrorInfo(0, info.Out()), S_FALSE);
}

}  // namespace
}  // namespace tw::com
