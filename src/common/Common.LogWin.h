#pragma once
// Windows only: the access the log folder gives every cashier of the machine.

#include <windows.h>

namespace korv::logplatform {

/// Rights of the local Users group on the log folder itself: list it and create files in it.
constexpr DWORD KLogUsersFolderRights = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | FILE_ADD_FILE;
/// Rights of the local Users group on the files in it (inherited by files only): read and
/// append, not overwrite or delete.
constexpr DWORD KLogUsersFileRights = FILE_GENERIC_READ | FILE_APPEND_DATA;

/// The access list `ADacl` with the Users entries added where it lacks them, for
/// SetNamedSecurityInfo, to be freed with LocalFree; null when nothing is to be added
/// (both entries there, given or inherited) and for a null list, which grants everything.
PACL LogFolderAclWithUsersGrant(PACL ADacl);

} // namespace korv::logplatform
