#include "platform/boxes.h"

#include <cerrno>
#include <cstdio>
#include <mutex>

namespace kv {
namespace {

std::mutex gBoxMutex;
BoxHandler gHandler;
QuestionHandler gQuestionHandler;
StringLookup gLookup;

void Show(const std::string& text, bool isFailure) {
    BoxHandler handler;
    {
        std::lock_guard lock(gBoxMutex);
        handler = gHandler;
    }
    if (handler) {
        handler(text, isFailure);
    } else {
        std::fprintf(stderr, "Kestova: %s\n", text.c_str());
    }
}

}  // namespace

BoxHandler SetBoxHandler(BoxHandler handler) {
    std::lock_guard lock(gBoxMutex);
    BoxHandler old = std::move(gHandler);
    gHandler = std::move(handler);
    return old;
}

void SetBoxStringLookup(StringLookup lookup) {
    std::lock_guard lock(gBoxMutex);
    gLookup = std::move(lookup);
}

void MessageBoxText(const std::string& text) { Show(text, false); }

void MessageBoxId(unsigned stringId) {
    StringLookup lookup;
    {
        std::lock_guard lock(gBoxMutex);
        lookup = gLookup;
    }
    Show(lookup ? lookup(stringId) : std::to_string(stringId), false);
}

std::string FailureBoxText(const std::string& callName, int errorCode) {
    std::string text = callName + " [" + std::to_string(errorCode) + "]";
    if (text.size() > 100) text.resize(100);
    return text;
}

void FailureBox(const std::string& callName, int errorCode) {
    int code = errorCode < 0 ? errno : errorCode;
    Show(FailureBoxText(callName, code), true);
}

QuestionHandler SetQuestionHandler(QuestionHandler handler) {
    std::lock_guard lock(gBoxMutex);
    QuestionHandler old = std::move(gQuestionHandler);
    gQuestionHandler = std::move(handler);
    return old;
}

bool QuestionBox(const std::string& text, const std::string& caption) {
    QuestionHandler handler;
    {
        std::lock_guard lock(gBoxMutex);
        handler = gQuestionHandler;
    }
    if (handler) return handler(text, caption);
    std::fprintf(stderr, "%s: %s (answered no)\n", caption.c_str(), text.c_str());
    return false;
}

}  // namespace kv
