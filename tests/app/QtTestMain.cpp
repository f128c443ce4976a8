// One QApplication for every app test, on the offscreen platform unless the
// environment chose another.
#include "tests/support/QtTestSupport.h"

namespace {

[[maybe_unused]] auto* const g_qt =
    ::testing::AddGlobalTestEnvironment(new zav::test::QtTestEnvironment("app_tests"));

}  // namespace
