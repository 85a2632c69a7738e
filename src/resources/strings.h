#pragma once
// The download manager's string table: every user-visible text by its identifier, with
// its English text. A chosen language replaces the English texts at run time.
#include <string>

namespace kv {

// The English text of `id`, or nullptr when the table has no such entry.
const char* EnglishString(unsigned id);

// The text of `id` in the current language (English until a language is loaded). An
// unknown id gives an empty text.
std::string LoadString(unsigned id);

// Replaces the text of `id` for the current language (used by the language loader);
// an empty `text` restores the English one.
void SetTranslatedString(unsigned id, const std::string& text);
void ClearTranslations();

}  // namespace kv
