#pragma once
// Reading and writing of the portal's store files ("grupos.dat" and one file per group).
//
// Every store file is read field by field: a field ends at a comma or at the end of a line;
// blanks after a comma or at the start of a line are skipped; a field that starts with a
// double quote runs to the next double quote (what follows it up to the next comma or line
// end is dropped). So "name, address" lines and one-field-per-line files read alike.
#include <string>
#include <string_view>
#include <vector>

namespace kv {

class FieldReader {
public:
    explicit FieldReader(std::string text) : text_(std::move(text)) {}
    // The next field; false at the end of the text.
    bool Next(std::string& field);

private:
    void SkipBlanks();
    bool AtLineEnd() const;
    void ConsumeTerminator();  // a comma or one line end (CR LF, CR or LF)

    std::string text_;
    size_t pos_ = 0;
};

// Every field of `text`, in order.
std::vector<std::string> ReadFields(const std::string& text);

// One item of a group: its name and its address.
struct PortalRecord {
    std::string name;
    std::string address;
    bool operator==(const PortalRecord&) const = default;
};

// The fields of `text` taken two at a time; a last name without an address gets an empty one.
std::vector<PortalRecord> ReadRecords(const std::string& text);

// `field` as the writers put it on a line, so that the reader gives it back unchanged:
// a field holding a comma, starting with a blank or with a double quote is written in
// double quotes (a double quote inside such a field becomes a single quote); line breaks
// and other control characters become blanks.
std::string StoreField(std::string_view field);

// "name, address" with CR LF.
std::string RecordLine(const PortalRecord& record);
// The field alone with CR LF.
std::string FieldLine(std::string_view field);

}  // namespace kv
