#include "results/test_log.h"

namespace trellon {

void TestLog::create(int) {}
TestLog* TestLog::instance() { return nullptr; }
void TestLog::destroy() {}

}  // namespace trellon
