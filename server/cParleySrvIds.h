// The server control's identity, for containers: class, interface and type
// library identifiers, its ProgID, and the DISPIDs of its members and events.
#pragma once

#include "platform/com/types.h"

namespace tw {

inline constexpr com::GUID LIBID_twParleySrv{0x3D5B8A10, 0x6C2E, 0x4B7A, {0x9F, 0x41, 0x2E, 0x77, 0x0C, 0x5A, 0x18, 0x01}};
inline constexpr com::IID IID_ItwParleySrvX{0x3D5B8A11, 0x6C2E, 0x4B7A, {0x9F, 0x41, 0x2E, 0x77, 0x0C, 0x5A, 0x18, 0x02}};
inline constexpr com::IID DIID_ItwParleySrvXEvents{0x3D5B8A12, 0x6C2E, 0x4B7A, {0x9F, 0x41, 0x2E, 0x77, 0x0C, 0x5A, 0x18, 0x03}};
inline constexpr com::CLSID CLSID_twParleySrvX{0x3D5B8A13, 0x6C2E, 0x4B7A, {0x9F, 0x41, 0x2E, 0x77, 0x0C, 0x5A, 0x18, 0x04}};

inline constexpr const char* kParleySrvProgId = "twParleySrv.twParleySrvX";
inline constexpr const char* kParleySrvTypeLibVersion = "1.0";

// ItwParleySrvX members (DISPID 209 is not used).
enum : com::DISPID {
  DISPID_SRV_ABOUTBOX = -552,
  DISPID_SRV_GENERATEKEYPAIR = 202,
  DISPID_SRV_TAKEFINGERPRINT = 203,
  DISPID_SRV_DISCONNECTPEER = 204,
  DISPID_SRV_GETPEERADDRESS = 205,
  DISPID_SRV_GETPEERPORT = 206,
  DISPID_SRV_GETMONIKER = 207,
  DISPID_SRV_GETPEERNAME = 208,
  DISPID_SRV_SETMONIKER = 210,
  DISPID_SRV_START = 211,
  DISPID_SRV_STOP = 212,
  DISPID_SRV_LOCALIPLIST = 213,
  DISPID_SRV_LASTERROR = 214,
  DISPID_SRV_SECURITYMODE = 215,
  DISPID_SRV_PUBLICKEY = 216,
  DISPID_SRV_PRIVATEKEY = 217,
  DISPID_SRV_SECRETKEY = 218,
  DISPID_SRV_FINGERPRINTS = 219,
  DISPID_SRV_BINDADDRESS = 220,
  DISPID_SRV_LISTENINGPORT = 221,
  DISPID_SRV_RUNNING = 222,
  DISPID_SRV_SENDBINARYMESSAGE = 223,
};

// ItwParleySrvXEvents.
enum : com::DISPID {
  DISPID_SRV_ONACTIVATE = 201,
  DISPID_SRV_ONCONNECTIONREQUEST = 202,  // (I4 aHandle, BSTR aUsername, BSTR* aPassword, VARIANT_BOOL* aAccept)
  DISPID_SRV_ONPEERCONNECTED = 203,      // (I4 aHandle)
  DISPID_SRV_ONPEERREJECTED = 204,       // (BSTR aUsername, BSTR aAddress, I4 aPort, I4 aCode)
  DISPID_SRV_ONPEERDISCONNECTED = 205,   // (I4 aHandle, I4 aCode)
  DISPID_SRV_ONBINARYMESSAGE = 206,      // (I4 aHandle, VARIANT* aMessage)
};

}  // namespace tw
