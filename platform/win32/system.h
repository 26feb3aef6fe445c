// Process facts and local-time texts that the system shows or writes:
// the executable's folder, the local date and time as the log lines and the
// host program render them, and the OLE Automation date.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace tw::win32 {

// Folder of the running executable, with a trailing '/'.
std::string ExeFolder();

// Makes ExeFolder() answer `folder` (with a trailing '/') from now on, so
// that a test can give the files kept beside the executable a folder of
// their own; an empty folder restores the executable's. Process-wide.
void SetExeFolder(std::string folder);

// Local date and time in the system's short date and long time formats, as
// "yyyy-mm-dd hh:nn:ss".
std::string LocalDateTimeText();
std::string LocalDateTimeText(std::time_t when);

// Fills `out` with `n` unpredictable bytes from the system's random source.
// False (and `out` zeroed) only if that source fails.
bool SystemRandom(void* out, size_t n);

// Days since 30 December 1899 00:00 local time, with the fraction of the day.
double NowAsOleDate();
double ToOleDate(std::time_t when);

}  // namespace tw::win32
