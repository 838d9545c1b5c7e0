#include "QtEnvironment.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

class QtEnvironment : public testing::Environment {
public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        App = std::make_unique<tarvio::TApplication>(Argc, Argv);
        App->SetShowExceptionHook([](const std::string& M) { tarvio_test::ShownErrors.push_back(M); });
    }
    void TearDown() override { App.reset(); }

private:
    int Argc = 1;
    char Name[16] = "app_gui_tests";
    char* Argv[2] = {Name, nullptr};
    std::unique_ptr<tarvio::TApplication> App;
};

// gtest owns registered environments.
testing::Environment* const Registered = testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace
