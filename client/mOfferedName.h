// File names in transfer offers. The sender offers a bare name; the receiver
// trims what arrives, refuses a name that is not a plain file name before any
// container sees it (so a container may join it to a folder of its own), and,
// when its container keeps that name, stores the file under the name's last
// component in the current folder: a peer names a file, never a place.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tw::cln {

// The sender's offered name: `path` without its folders (split on '/').
std::u16string BareFileName(std::u16string_view path);

// The name as the receiver shows it to its container: blanks and control
// characters trimmed at both ends, then one leading backslash removed.
std::u16string TrimOfferedName(std::u16string_view offered);

// Whether a trimmed offered name is a plain file name that a container may
// join to a folder: not empty, no '/', no NUL, not "." or "..". A backslash
// is an ordinary character of a name.
bool IsPlainName(std::u16string_view name);

// The local file name for an offered name the container kept: its last
// component, split on both '\' and '/'. None for a name that holds a NUL or
// whose last component is "", "." or "..": such an offer is refused.
std::optional<std::u16string> SafeLocalName(std::u16string_view name);

}  // namespace tw::cln
