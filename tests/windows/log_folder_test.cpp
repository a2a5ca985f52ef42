// The access list the log folder gets on Windows: the local Users group may create files in
// the folder and append to the files in it, the entries are added once, and nothing else in
// the list changes. Wine accepts but does not keep file access lists (it shows them from the
// Unix mode), so the list is built and read back in memory, with the system's own functions.
//
// usage: log_folder_test.exe      exit status 0 when every check passed
#include "checks.h"

#include "common/Common.LogWin.h"

#include <aclapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace korv::logplatform;

using wintest::Check;
using wintest::gChecks;
using wintest::gFailures;

struct TSid {
    BYTE Buf[SECURITY_MAX_SID_SIZE];
    explicit TSid(WELL_KNOWN_SID_TYPE AType) {
        DWORD Size = sizeof Buf;
        CreateWellKnownSid(AType, nullptr, Buf, &Size);
    }
    PSID Get() { return Buf; }
};

struct TEntry {
    PSID Sid;
    DWORD Mask;
    BYTE Flags;
};

// An access list of allowed entries, as a folder's list reads.
std::vector<BYTE> MakeAcl(const std::vector<TEntry>& AEntries) {
    std::vector<BYTE> Buf(1024);
    auto* Acl = reinterpret_cast<PACL>(Buf.data());
    InitializeAcl(Acl, DWORD(Buf.size()), ACL_REVISION);
    for (const auto& E : AEntries)
        AddAccessAllowedAceEx(Acl, ACL_REVISION, E.Flags, E.Mask, E.Sid);
    return Buf;
}

// The allowed entries of the list.
std::vector<TEntry> Entries(PACL AAcl) {
    std::vector<TEntry> Out;
    ACL_SIZE_INFORMATION Info{};
    GetAclInformation(AAcl, &Info, sizeof Info, AclSizeInformation);
    for (DWORD i = 0; i < Info.AceCount; ++i) {
        void* Ace = nullptr;
        GetAce(AAcl, i, &Ace);
        auto* A = static_cast<ACCESS_ALLOWED_ACE*>(Ace);
        if (A->Header.AceType == ACCESS_ALLOWED_ACE_TYPE)
            Out.push_back({&A->SidStart, A->Mask, A->Header.AceFlags});
    }
    return Out;
}

int Count(const std::vector<TEntry>& AEntries, PSID ASid, DWORD AMask, BYTE AFlags) {
    int n = 0;
    for (const auto& E : AEntries)
        n += EqualSid(E.Sid, ASid) && E.Mask == AMask && E.Flags == AFlags;
    return n;
}

constexpr BYTE KInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERITED_ACE;
constexpr BYTE KFilesOnly = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;

void Run() {
    TSid Users(WinBuiltinUsersSid), World(WinWorldSid), System(WinLocalSystemSid),
        Admins(WinBuiltinAdministratorsSid);
    // A fresh folder under the common application-data folder: what it inherits.
    std::vector<TEntry> Before = {
        {System.Get(), FILE_ALL_ACCESS, KInherited},
        {Admins.Get(), FILE_ALL_ACCESS, KInherited},
        {Users.Get(), FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, KInherited},
        {World.Get(), FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, KInherited}};
    auto Fresh = MakeAcl(Before);
    PACL Granted = LogFolderAclWithUsersGrant(reinterpret_cast<PACL>(Fresh.data()));
    Check(Granted != nullptr, "a fresh folder gets the grant");
    if (!Granted)
        return;
    const auto After = Entries(Granted);
    Check(Count(After, Users.Get(), KLogUsersFolderRights, 0) == 1,
          "one entry lets Users list the folder and create files in it");
    Check(Count(After, Users.Get(), KLogUsersFileRights, KFilesOnly) == 1,
          "one entry, inherited by files only, lets Users read and append to them");
    Check(After.size() == Before.size() + 2, "two entries added, nothing else");
    for (const auto& E : Before)
        Check(Count(After, E.Sid, E.Mask, E.Flags) == 1, "the inherited entries stay");
    // Explicit entries come before inherited ones, as Windows orders a list.
    Check(After.size() >= 2 && !(After[0].Flags & INHERITED_ACE) &&
              !(After[1].Flags & INHERITED_ACE),
          "the new entries come first");
    for (const auto& E : After) {
        if (EqualSid(E.Sid, World.Get()))
            Check(!(E.Mask & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC)),
                  "Everyone gets no right to write");
        if (EqualSid(E.Sid, Users.Get()) && (E.Flags & OBJECT_INHERIT_ACE))
            Check(!(E.Mask & (FILE_WRITE_DATA | DELETE | WRITE_DAC)),
                  "Users may not overwrite or delete the files");
    }

    // The next start finds the grant and adds nothing.
    Check(LogFolderAclWithUsersGrant(Granted) == nullptr, "a second start adds nothing");
    LocalFree(Granted);

    // Granted by the parent already (inherited): nothing to add either.
    auto Inherited =
        MakeAcl({{System.Get(), FILE_ALL_ACCESS, KInherited},
                 {Users.Get(), KLogUsersFolderRights, INHERITED_ACE},
                 {Users.Get(), KLogUsersFileRights | FILE_WRITE_EA, KFilesOnly | INHERITED_ACE}});
    Check(LogFolderAclWithUsersGrant(reinterpret_cast<PACL>(Inherited.data())) == nullptr,
          "a folder that inherits the grant is left as it is");

    // Only the missing half is added.
    auto Half = MakeAcl({{Users.Get(), KLogUsersFolderRights, 0}});
    PACL Completed = LogFolderAclWithUsersGrant(reinterpret_cast<PACL>(Half.data()));
    Check(Completed != nullptr, "a folder with half the grant gets the other half");
    if (Completed) {
        const auto E = Entries(Completed);
        Check(E.size() == 2 && Count(E, Users.Get(), KLogUsersFolderRights, 0) == 1 &&
                  Count(E, Users.Get(), KLogUsersFileRights, KFilesOnly) == 1,
              "the folder entry is not repeated");
        LocalFree(Completed);
    }

    // No list at all grants everyone everything: replacing it would shut others out.
    Check(LogFolderAclWithUsersGrant(nullptr) == nullptr, "a folder without a list is left");
}

} // namespace

int main() {
    Run();
    std::printf("%s: log folder access, %d checks, %d failed\n", gFailures ? "FAILED" : "ok",
                gChecks, gFailures);
    return gFailures ? 1 : 0;
}
