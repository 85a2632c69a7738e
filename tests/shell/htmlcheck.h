#pragma once
// A strict reader of the pages the shell writes: every element closed in order, no
// unquoted attribute value an HTML parser would read differently, table parts only where
// tables allow them, character references well formed. It keeps the elements so that
// tests can look at what a browser would show.
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kv::test {

struct HtmlElement {
    std::string name;                          // lower case
    std::map<std::string, std::string> attrs;  // values with character references decoded
    std::string text;                          // text directly and in descendants, decoded
    int parent = -1;
};

struct HtmlDocument {
    std::vector<HtmlElement> elements;
    std::vector<std::string> errors;

    std::vector<const HtmlElement*> All(const std::string& name) const {
        std::vector<const HtmlElement*> out;
        for (const HtmlElement& e : elements) {
            if (e.name == name) out.push_back(&e);
        }
        return out;
    }
    const HtmlElement* Parent(const HtmlElement& e) const {
        return e.parent < 0 ? nullptr : &elements[static_cast<size_t>(e.parent)];
    }
    std::vector<const HtmlElement*> Children(const HtmlElement& p, const std::string& name) const {
        std::vector<const HtmlElement*> out;
        for (const HtmlElement& e : elements) {
            if (e.name == name && e.parent >= 0 && &elements[static_cast<size_t>(e.parent)] == &p) {
                out.push_back(&e);
            }
        }
        return out;
    }
};

inline std::string DecodeReferences(const std::string& s, std::vector<std::string>* errors) {
    static const std::map<std::string, std::string> kNamed = {
        {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"nbsp", "\xC2\xA0"}, {"copy", "\xC2\xA9"}};
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '&') {
            out += s[i];
            continue;
        }
        size_t semi = s.find(';', i);
        std::string ref = semi == std::string::npos ? "" : s.substr(i + 1, semi - i - 1);
        if (!ref.empty() && ref[0] == '#' && ref.size() > 1 &&
            ref.find_first_not_of("0123456789", 1) == std::string::npos) {
            out += static_cast<char>(std::stoi(ref.substr(1)));  // ASCII only in our pages
            i = semi;
        } else if (kNamed.count(ref)) {
            out += kNamed.at(ref);
            i = semi;
        } else {
            if (errors) errors->push_back("bare or unknown character reference near: " + s.substr(i, 12));
            out += '&';
        }
    }
    return out;
}

inline HtmlDocument ParseHtml(const std::string& html) {
    static const std::set<std::string> kVoid = {"img", "input", "br", "link", "meta", "hr"};
    HtmlDocument doc;
    std::vector<int> stack;
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    auto addText = [&](const std::string& raw) {
        std::string t = DecodeReferences(raw, &doc.errors);
        for (int idx : stack) doc.elements[static_cast<size_t>(idx)].text += t;
        if (!stack.empty()) {
            const std::string& top = doc.elements[static_cast<size_t>(stack.back())].name;
            if ((top == "table" || top == "tr") &&
                t.find_first_not_of(" \t\r\n") != std::string::npos) {
                doc.errors.push_back("text directly inside <" + top + ">: " + t);
            }
        }
    };
    size_t i = 0;
    while (i < html.size()) {
        size_t lt = html.find('<', i);
        addText(html.substr(i, (lt == std::string::npos ? html.size() : lt) - i));
        if (lt == std::string::npos) break;
        if (html.compare(lt, 4, "<!--") == 0) {
            size_t end = html.find("-->", lt);
            i = end == std::string::npos ? html.size() : end + 3;
            continue;
        }
        size_t gt = html.find('>', lt);
        if (gt == std::string::npos) {
            doc.errors.push_back("unterminated tag");
            break;
        }
        if (html[lt + 1] == '/') {
            std::string name = lower(html.substr(lt + 2, gt - lt - 2));
            if (stack.empty() || doc.elements[static_cast<size_t>(stack.back())].name != name) {
                doc.errors.push_back("end tag </" + name + "> does not close the open element " +
                                     (stack.empty() ? std::string("(none)")
                                                    : doc.elements[static_cast<size_t>(stack.back())].name));
            } else {
                stack.pop_back();
            }
            i = gt + 1;
            continue;
        }
        // start tag: name and attributes (quoted values may hold '>')
        size_t p = lt + 1;
        auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
        size_t nameEnd = p;
        while (nameEnd < html.size() && !isSpace(html[nameEnd]) && html[nameEnd] != '>') ++nameEnd;
        HtmlElement el;
        el.name = lower(html.substr(p, nameEnd - p));
        p = nameEnd;
        while (p < html.size() && html[p] != '>') {
            if (isSpace(html[p])) { ++p; continue; }
            size_t an = p;
            while (p < html.size() && !isSpace(html[p]) && html[p] != '=' && html[p] != '>') ++p;
            std::string attr = lower(html.substr(an, p - an));
            std::string value;
            if (p < html.size() && html[p] == '=') {
                ++p;
                if (p < html.size() && (html[p] == '\'' || html[p] == '"')) {
                    char q = html[p];
                    size_t close = html.find(q, p + 1);
                    if (close == std::string::npos) { doc.errors.push_back("unclosed quote"); p = html.size(); break; }
                    value = html.substr(p + 1, close - p - 1);
                    p = close + 1;
                } else {
                    size_t vs = p;
                    while (p < html.size() && !isSpace(html[p]) && html[p] != '>') ++p;
                    value = html.substr(vs, p - vs);
                    if (value.empty() || value.find_first_of("\"'=<>`") != std::string::npos) {
                        doc.errors.push_back("unquoted value that a parser reads otherwise: " + attr +
                                             "=" + value);
                    }
                }
            }
            if (el.attrs.count(attr)) doc.errors.push_back("duplicate attribute " + attr);
            el.attrs[attr] = DecodeReferences(value, &doc.errors);
        }
        gt = p;
        el.parent = stack.empty() ? -1 : stack.back();
        const std::string parentName =
            stack.empty() ? "" : doc.elements[static_cast<size_t>(stack.back())].name;
        if (el.name == "tr" && parentName != "table") doc.errors.push_back("<tr> inside <" + parentName + ">");
        if ((el.name == "th" || el.name == "td") && parentName != "tr") {
            doc.errors.push_back("<" + el.name + "> inside <" + parentName + ">");
        }
        if ((parentName == "table" && el.name != "tr") || (parentName == "tr" && el.name != "th" && el.name != "td")) {
            doc.errors.push_back("<" + el.name + "> directly inside <" + parentName + ">");
        }
        if (el.name == "form") {
            for (int idx : stack) {
                if (doc.elements[static_cast<size_t>(idx)].name == "form") doc.errors.push_back("nested <form>");
            }
        }
        doc.elements.push_back(el);
        int index = static_cast<int>(doc.elements.size()) - 1;
        i = gt + 1;
        if (el.name == "script" || el.name == "style") {
            size_t end = html.find("</" + el.name, i);
            if (end == std::string::npos) { doc.errors.push_back("unclosed " + el.name); break; }
            doc.elements.back().text = html.substr(i, end - i);
            i = html.find('>', end) + 1;
            continue;
        }
        if (!kVoid.count(el.name)) stack.push_back(index);
    }
    for (int idx : stack) doc.errors.push_back("element never closed: <" + doc.elements[static_cast<size_t>(idx)].name + ">");
    return doc;
}

}  // namespace kv::test
