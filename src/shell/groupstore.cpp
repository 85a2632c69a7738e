#include "shell/groupstore.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/paths.h"

namespace kv {
namespace {

constexpr const char* kGroupsName = "grupos.dat";
constexpr const char* kNewWorkName = "tmpgrp.dat";
constexpr const char* kDeleteWorkName = "ttmmpp.dat";
constexpr const char* kPlaceholder = "-, -\r\n";

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

bool WritePlainFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    return static_cast<bool>(out);
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    content = text.str();
    return !in.bad();
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
    if (!CreateParentDirectories(path)) return false;
    std::string temp = path + ".new~";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            ::close(fd);
            ::unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    bool ok = ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string GroupStore::GroupsFile() const { return dir_ + "/" + kGroupsName; }

std::string GroupStore::GroupFile(const std::string& group) const {
    return dir_ + "/" + group + ".dat";
}

std::string GroupStore::WorkFile(const char* name) const { return dir_ + "/" + name; }

std::vector<std::string> GroupStore::Groups() const {
    std::string text;
    if (!ReadWholeFile(GroupsFile(), text)) return {};
    std::vector<std::string> groups;
    for (std::string& field : ReadFields(text)) {
        if (!field.empty()) groups.push_back(std::move(field));
    }
    return groups;
}

std::vector<PortalRecord> GroupStore::Records(const std::string& group, bool* exists) const {
    std::string text;
    bool ok = IsValidGroupName(group) && ReadWholeFile(GroupFile(group), text);
    if (exists) *exists = ok;
    return ok ? ReadRecords(text) : std::vector<PortalRecord>{};
}

std::vector<std::string> GroupStore::ItemNames(const std::string& group) const {
    std::vector<std::string> names;
    for (const PortalRecord& r : Records(group)) names.push_back(r.name);
    return names;
}

bool GroupStore::IsValidGroupName(const std::string& group) {
    if (group.empty() || group.size() > 250) return false;
    for (char c : group) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '/' || u < 0x20 || u == 0x7f) return false;
    }
    // "grupos" would write over the group list, the others over the work files.
    std::string lower = Lower(group);
    return lower != "grupos" && lower != "tmpgrp" && lower != "ttmmpp";
}

NewGroupResult GroupStore::NewGroup(const std::string& name) {
    if (name.empty()) return NewGroupResult::EmptyName;
    if (!IsValidGroupName(name)) return NewGroupResult::InvalidName;
    std::vector<std::string> groups = Groups();
    if (std::find(groups.begin(), groups.end(), name) != groups.end()) {
        return NewGroupResult::Duplicate;
    }
    // The group's file comes first: if the list cannot be written afterwards, only an
    // unlisted file is left behind and the store still reads as before.
    if (!WriteFileAtomically(GroupFile(name), kPlaceholder)) return NewGroupResult::WriteFailed;

    std::string existing;
    ReadWholeFile(GroupsFile(), existing);
    std::string work;
    for (const std::string& field : ReadFields(existing)) work += FieldLine(field);
    work += FieldLine(name);
    WritePlainFile(WorkFile(kNewWorkName), work);

    std::string back;
    for (const std::string& field : ReadFields(work)) back += FieldLine(field);
    return WriteFileAtomically(GroupsFile(), back) ? NewGroupResult::Created
                                                   : NewGroupResult::WriteFailed;
}

bool GroupStore::AddItem(const std::string& group, const std::string& name,
                         const std::string& address) {
    if (name.empty() || !IsValidGroupName(group)) return false;
    std::string work;
    for (const PortalRecord& r : Records(group)) {
        if (!r.name.empty() && r.name.front() == '-') continue;
        work += RecordLine(r);
    }
    work += RecordLine({name, address});
    WritePlainFile(WorkFile(kNewWorkName), work);

    std::string back;
    for (const std::string& field : ReadFields(work)) back += FieldLine(field);
    return WriteFileAtomically(GroupFile(group), back);
}

bool GroupStore::DeleteItems(const std::string& group, const std::string& selected) {
    bool exists = false;
    std::vector<PortalRecord> records = Records(group, &exists);
    if (!exists) return false;
    std::string work;
    for (const PortalRecord& r : records) {
        if (r.name != selected) work += RecordLine(r);
    }
    WritePlainFile(WorkFile(kDeleteWorkName), work);

    std::string back;
    for (const PortalRecord& r : ReadRecords(work)) {
        if (r.name != selected) back += RecordLine(r);
    }
    return WriteFileAtomically(GroupFile(group), back);
}

bool GroupStore::DeleteGroup(const std::string& group) {
    std::string existing;
    if (!ReadWholeFile(GroupsFile(), existing)) return false;
    std::string work;
    for (const std::string& field : ReadFields(existing)) {
        if (field != group) work += FieldLine(field);
    }
    WritePlainFile(WorkFile(kDeleteWorkName), work);

    std::string back;
    for (const std::string& field : ReadFields(work)) {
        if (field != group) back += FieldLine(field);
    }
    return WriteFileAtomically(GroupsFile(), back);
}

}  // namespace kv
