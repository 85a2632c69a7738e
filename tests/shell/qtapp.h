#pragma once
// One Qt application for a test program, on the offscreen platform, with the shell's folder
// and the registry hive in a folder of its own. Made by QtEnvironment before the first test
// and deleted after the last, so that no window outlives it.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <memory>
#include <string>

#include "shell/forms/queltpage.h"
#include "tempdir.h"

// Under AddressSanitizer: the system's Qt WebEngine library (Chromium, not built with the
// sanitizer) frees some objects with a sized delete of another size and keeps objects to the
// end of the process; both are reported from inside that library and would end every run.
// Our own code is still checked for everything else. (Each Qt test program includes this
// header once, so the definition is unique in it.)
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
    return "new_delete_type_mismatch=0:detect_leaks=0";
}
#endif

namespace kv::test {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu", 1);
        ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
        ::setenv("XDG_DATA_HOME", (folder_.Path() + "/data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (folder_.Path() + "/config").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", folder_.Path().c_str(), 1);
        PrepareBrowserEngine();
        static int argc = 1;
        static char name[] = "quelt_test";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
    }
    void TearDown() override {
        delete app_;
        app_ = nullptr;
    }

private:
    TempDir folder_;
    QApplication* app_ = nullptr;
};

// Each test gets a fresh shell folder and hive.
class QtTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("QUELT_HOME", (dir.Path() + "/quelt").c_str(), 1);
        ::setenv("KESTOVA_REGISTRY", dir.File("user.reg").c_str(), 1);
    }
    std::string QueltDir() const { return dir.Path() + "/quelt"; }
    TempDir dir;
};

}  // namespace kv::test
