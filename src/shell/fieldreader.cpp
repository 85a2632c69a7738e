#include "shell/fieldreader.h"

namespace kv {

void FieldReader::SkipBlanks() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
}

bool FieldReader::AtLineEnd() const {
    return pos_ < text_.size() && (text_[pos_] == '\r' || text_[pos_] == '\n');
}

void FieldReader::ConsumeTerminator() {
    if (pos_ >= text_.size()) return;
    if (text_[pos_] == ',') {
        ++pos_;
    } else if (text_[pos_] == '\r') {
        ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '\n') ++pos_;
    } else if (text_[pos_] == '\n') {
        ++pos_;
    }
}

bool FieldReader::Next(std::string& field) {
    field.clear();
    if (pos_ >= text_.size()) return false;
    SkipBlanks();
    if (pos_ >= text_.size()) return false;  // only blanks were left
    if (text_[pos_] == '"') {
        size_t close = text_.find('"', pos_ + 1);
        if (close == std::string::npos) {
            field = text_.substr(pos_ + 1);
            pos_ = text_.size();
            return true;
        }
        field = text_.substr(pos_ + 1, close - pos_ - 1);
        pos_ = close + 1;
        while (pos_ < text_.size() && text_[pos_] != ',' && !AtLineEnd()) ++pos_;
        ConsumeTerminator();
        return true;
    }
    size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] != ',' && !AtLineEnd()) ++pos_;
    field = text_.substr(start, pos_ - start);
    ConsumeTerminator();
    return true;
}

std::vector<std::string> ReadFields(const std::string& text) {
    std::vector<std::string> fields;
    FieldReader reader(text);
    std::string field;
    while (reader.Next(field)) fields.push_back(field);
    return fields;
}

std::vector<PortalRecord> ReadRecords(const std::string& text) {
    std::vector<PortalRecord> records;
    FieldReader reader(text);
    std::string name, address;
    while (reader.Next(name)) {
        if (!reader.Next(address)) address.clear();
        records.push_back({name, address});
    }
    return records;
}

std::string StoreField(std::string_view field) {
    std::string clean;
    clean.reserve(field.size());
    for (char c : field) {
        unsigned char u = static_cast<unsigned char>(c);
        clean += (u < 0x20 || u == 0x7f) ? ' ' : c;
    }
    bool quote = clean.find(',') != std::string::npos ||
                 (!clean.empty() && (clean.front() == ' ' || clean.front() == '"'));
    if (!quote) return clean;
    for (char& c : clean) {
        if (c == '"') c = '\'';
    }
    return "\"" + clean + "\"";
}

std::string RecordLine(const PortalRecord& record) {
    return StoreField(record.name) + ", " + StoreField(record.address) + "\r\n";
}

std::string FieldLine(std::string_view field) { return StoreField(field) + "\r\n"; }

}  // namespace kv
