// The client control's identity, for containers: class, interface and type
// library identifiers, its ProgID, and the DISPIDs of its members and events.
// The DISPIDs are not in slot order; a container binds by DISPID or by name.
#pragma once

#include "platform/com/types.h"

namespace tw {

inline constexpr com::GUID LIBID_twParleyCln{0x5A7C2E20, 0x3B41, 0x4D8E, {0xA6, 0x13, 0x71, 0x0F, 0x4C, 0x92, 0x2D, 0x01}};
inline constexpr com::IID IID_ItwParleyClnX{0x5A7C2E21, 0x3B41, 0x4D8E, {0xA6, 0x13, 0x71, 0x0F, 0x4C, 0x92, 0x2D, 0x02}};
inline constexpr com::IID DIID_ItwParleyClnXEvents{0x5A7C2E22, 0x3B41, 0x4D8E, {0xA6, 0x13, 0x71, 0x0F, 0x4C, 0x92, 0x2D, 0x03}};
inline constexpr com::CLSID CLSID_twParleyClnX{0x5A7C2E23, 0x3B41, 0x4D8E, {0xA6, 0x13, 0x71, 0x0F, 0x4C, 0x92, 0x2D, 0x04}};

inline constexpr const char* kParleyClnProgId = "twParleyCln.twParleyClnX";
inline constexpr const char* kParleyClnTypeLibVersion = "1.0";

// The control's error log, kept beside the executable: one line for each
// failure that no member could report (an event sink that failed while the
// control delivered a message or ran a timer): the local date and time, "/",
// the last 4 digits of the tick count, ": *EXP*  ", what failed.
inline constexpr char kClientErrorLogFileName[] = "twparleyclnerror.log";

// ItwParleyClnX members.
enum : com::DISPID {
  DISPID_CLN_ABOUTBOX = -552,
  DISPID_CLN_MUTERECORDING = 201,
  DISPID_CLN_GENERATEKEYPAIR = 202,
  DISPID_CLN_TAKEFINGERPRINT = 203,
  DISPID_CLN_GETMONIKER = 204,
  DISPID_CLN_SETMONIKER = 205,
  DISPID_CLN_OPENSESSION = 206,
  DISPID_CLN_CLOSESESSION = 207,
  DISPID_CLN_DISCONNECTPEER = 208,
  DISPID_CLN_GETPEERNAME = 209,
  DISPID_CLN_MUTEPLAYBACK = 212,
  DISPID_CLN_NOISELEVEL = 213,
  DISPID_CLN_SENDALERTMESSAGE = 216,
  DISPID_CLN_SENDCHATMESSAGE = 217,
  DISPID_CLN_GETCALLER = 218,
  DISPID_CLN_RECORDINGDEVICE = 219,
  DISPID_CLN_PLAYBACKDEVICE = 220,
  DISPID_CLN_FRAMEQUALITY = 222,
  DISPID_CLN_GETRECORDINGDEVICECOUNT = 223,
  DISPID_CLN_GETRECORDINGDEVICENAME = 224,
  DISPID_CLN_GETPLAYBACKDEVICECOUNT = 225,
  DISPID_CLN_GETPLAYBACKDEVICENAME = 226,
  DISPID_CLN_GETCAPTUREDEVICECOUNT = 227,
  DISPID_CLN_GETCAPTUREDEVICENAME = 228,
  DISPID_CLN_SELECTCAPTUREDEVICE = 229,
  DISPID_CLN_GETFORMATCOUNT = 230,
  DISPID_CLN_GETFORMATSIZE = 231,
  DISPID_CLN_SELECTCAPTUREFORMAT = 232,
  DISPID_CLN_FINDCAPTURECAPABILITIES = 233,
  DISPID_CLN_AUDIOACTIVE = 234,
  DISPID_CLN_VIDEOACTIVE = 235,
  DISPID_CLN_SECURITYMODE = 236,
  DISPID_CLN_PUBLICKEY = 237,
  DISPID_CLN_PRIVATEKEY = 238,
  DISPID_CLN_SECRETKEY = 239,
  DISPID_CLN_FINGERPRINTS = 240,
  DISPID_CLN_BINDADDRESS = 242,
  DISPID_CLN_USERNAME = 245,
  DISPID_CLN_LASTERROR = 246,
  DISPID_CLN_GETTALKCOUNT = 247,
  DISPID_CLN_SERVERADDRESS = 248,
  DISPID_CLN_SERVERPORT = 249,
  DISPID_CLN_SOCKSVERSION = 250,
  DISPID_CLN_SOCKSSERVER = 251,
  DISPID_CLN_SOCKSPORT = 252,
  DISPID_CLN_SOCKSUSERNAME = 253,
  DISPID_CLN_SOCKSPASSWORD = 254,
  DISPID_CLN_TRANSFERSUFFIX = 255,
  DISPID_CLN_GETTALKER = 256,
  DISPID_CLN_GETSESSIONSTATUS = 257,
  DISPID_CLN_GETTALKSTATE = 259,
  DISPID_CLN_BEGINTALK = 300,
  DISPID_CLN_ENDTALK = 302,
  DISPID_CLN_CANCELOUTFILE = 304,
  DISPID_CLN_REQUESTOUTFILE = 305,
  DISPID_CLN_CANCELINFILE = 306,
  DISPID_CLN_GETOUTGOINGFILE = 307,
  DISPID_CLN_SENDBINARYMESSAGE = 308,
};

// ItwParleyClnXEvents, in declaration order, with their arguments. Byte
// buffers come as a VT_ARRAY|VT_UI1 variant (lower bound 0) by reference
// together with their size; in-out arguments are references the container
// writes its answer through.
enum : com::DISPID {
  DISPID_CLN_ONACTIVATE = 242,            // () declared, never fired
  DISPID_CLN_ONSESSIONOPEN = 201,         // ()
  DISPID_CLN_ONSESSIONCLOSED = 202,       // ()
  DISPID_CLN_ONSESSIONREJECTED = 203,     // (I4 aCode)
  DISPID_CLN_ONPEERCONNECTED = 204,       // (I4 aHandle)
  DISPID_CLN_ONPEERDISCONNECTED = 205,    // (I4 aHandle)
  DISPID_CLN_ONALERTMESSAGE = 206,        // (I4 aHandle, BSTR aText)
  DISPID_CLN_ONCHATMESSAGE = 207,         // (I4 aHandle, BSTR aText)
  DISPID_CLN_ONTALKINVITED = 208,         // (I4 aHandle, VARIANT_BOOL* aOkay, VARIANT_BOOL* aAudio, VARIANT_BOOL* aVideo)
  DISPID_CLN_ONTALKBEGAN = 209,           // (I4 aHandle)
  DISPID_CLN_ONTALKREFUSED = 211,         // (I4 aHandle, I4 aCode)
  DISPID_CLN_ONTALKENDED = 212,           // (I4 aHandle)
  DISPID_CLN_ONWAVERECORDED = 213,        // (VARIANT* aData, I4 aSize)
  DISPID_CLN_ONWAVEPLAYED = 214,          // (I4 aHandle, VARIANT* aData, I4 aSize)
  DISPID_CLN_ONSTARTRECORDING = 215,      // ()
  DISPID_CLN_ONSTOPRECORDING = 216,       // ()
  DISPID_CLN_ONSTARTAUDIOOVERLOAD = 219,  // ()
  DISPID_CLN_ONSTOPAUDIOOVERLOAD = 220,   // ()
  DISPID_CLN_ONOUTFILEPROGRESS = 221,     // (I4 aHandle, I4 aCountLo, I4 aCountHi, I4 aSizeLo, I4 aSizeHi)
  DISPID_CLN_ONOUTFILEDONE = 223,         // (I4 aHandle, I4 aCode)
  DISPID_CLN_ONINFILEREQUESTED = 222,     // (I4 aHandle, BSTR* aPath, VARIANT_BOOL* aOkay)
  DISPID_CLN_ONINFILEPROGRESS = 224,      // (I4 aHandle, I4 aCountLo, I4 aCountHi, I4 aSizeLo, I4 aSizeHi)
  DISPID_CLN_ONINFILEDONE = 225,          // (I4 aHandle, I4 aCode)
  DISPID_CLN_ONERROR = 228,               // (I4 aCode)
  DISPID_CLN_ONLOCALFRAME = 229,          // (VARIANT* aData, I4 aSize) a BMP image
  DISPID_CLN_ONREMOTEFRAME = 230,         // (I4 aHandle, VARIANT* aData, I4 aSize) a BMP image
  DISPID_CLN_ONTALKJOINED = 210,          // (I4 aHandle)
  DISPID_CLN_ONBINARYMESSAGE = 301,       // (I4 aHandle, VARIANT* aMessage) handle 0: the server host
};

}  // namespace tw
