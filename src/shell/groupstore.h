#pragma once
// The portal's link store in the shell's folder:
//   "grupos.dat"       the group names, one per line, in display order;
//   "<group>.dat"      one per group: records of two fields, item name then address,
//                      either "name, address" per line or one field per line;
//   "tmpgrp.dat", "ttmmpp.dat"  work files, overwritten each time and left behind.
// Nothing is cached: every operation reads what it needs and writes whole files. The
// files that hold the store are replaced atomically (a crash leaves the old or the new
// content).
#include <string>
#include <vector>

#include "shell/fieldreader.h"

namespace kv {

enum class NewGroupResult {
    Created,
    EmptyName,     // nothing to do
    InvalidName,   // cannot name a file in the folder, or would overwrite a store file
    Duplicate,     // a group of that name is listed already; its items are kept
    WriteFailed,   // the store is as it was
};

class GroupStore {
public:
    explicit GroupStore(std::string directory) : dir_(std::move(directory)) {}

    const std::string& Directory() const { return dir_; }
    std::string GroupsFile() const;                        // ".../grupos.dat"
    std::string GroupFile(const std::string& group) const;  // ".../<group>.dat"

    // The group names of "grupos.dat" in file order (empty fields left out); none when
    // the file is missing.
    std::vector<std::string> Groups() const;
    // The records of a group's file; `exists` (may be null) tells whether it could be read.
    std::vector<PortalRecord> Records(const std::string& group, bool* exists = nullptr) const;
    // The name field of every record, in file order (the placeholder shows as "-").
    std::vector<std::string> ItemNames(const std::string& group) const;

    // True when `group` can name a group file here: not empty, no "/" and no control
    // characters, not one of the store's own files, short enough for a file name.
    static bool IsValidGroupName(const std::string& group);

    // "Crear" of the new-group dialog: the group's file gets the placeholder record
    // "-, -", then the name is appended to "grupos.dat".
    NewGroupResult NewGroup(const std::string& name);
    // "Añadir Elemento": the group's records whose name does not begin with "-" are kept
    // (so the placeholder goes) and the new record is added; the group's file is then
    // written one field per line. False (nothing changed) for an empty item name or an
    // invalid group name. A missing group file is created.
    bool AddItem(const std::string& group, const std::string& name, const std::string& address);
    // "Eliminar": every record whose name equals `selected` exactly is removed; the
    // group's file is then written one record per line. False when it cannot be read.
    bool DeleteItems(const std::string& group, const std::string& selected);
    // "Eliminar todo el grupo": every line of "grupos.dat" equal to the name is removed;
    // the group's own file stays on disk.
    bool DeleteGroup(const std::string& group);

private:
    std::string WorkFile(const char* name) const;
    std::string dir_;
};

// Reads a whole file; false when it cannot be opened.
bool ReadWholeFile(const std::string& path, std::string& content);
// Writes `content` through a temporary file in the same folder and renames it over `path`.
bool WriteFileAtomically(const std::string& path, const std::string& content);

}  // namespace kv
