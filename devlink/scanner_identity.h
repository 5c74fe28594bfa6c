// Naming things after one scanner: its identity (platform::DeviceIo::DeviceIdentity) made into
// a part of an event or mutex name, and the front end's choice of a still-image scanner's
// service event.
#pragma once

#include <string>

// `identity` as a part of an object name: letters, digits and "-.@{}" are kept, every other
// byte becomes %XX, so two identities never give one key. A key longer than kMaxIdentityKey is
// cut and ends in "~" and a 64-bit hash of the whole identity: a collision there would only make
// two scanners take turns. Empty for an empty identity.
std::string IdentityKey(const std::string& identity);
inline constexpr std::size_t kMaxIdentityKey = 48;

// Whether still-image scanners get service events of their own ("ZAMOUSB_EVENT_u." and the
// scanner's key) instead of the one ZAMOUSB_EVENT_u that every still-image scanner and every
// other program of the protocol shares. Off at start. With it on, jobs on several still-image
// scanners no longer take turns at each data call, and other programs of the protocol are no
// longer kept out between data calls (the device-side lock still guards each scanner).
void SetOwnStillImageEvents(bool on);
bool OwnStillImageEvents();

// The service event for the still-image device `deviceName` ("\\.\USBSCAN<n>"): the shared one,
// or with own events its own (the shared one when the device names no identity).
std::string StillImageEventName(const char* deviceName);
