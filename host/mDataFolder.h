// Where the host program keeps settings.ini and users.con: the folder that
// $TWPARLEY_HOST_DIR names when it is set, else the program's own folder.
#pragma once

#include <string>
#include <string_view>

namespace tw {

// The folder, always with a trailing '/'.
std::string HostDataFolder();

// `folder` joined with a file name, whether or not `folder` ends in '/'.
std::string FileInFolder(std::string_view folder, std::string_view fileName);

}  // namespace tw
