// TestLog: the bounded store of test records.
#pragma once

namespace trellon {

class TestLog {
public:
    // Creates the process-wide log once; later calls leave it in place.
    static void create(int capacity);
    static TestLog* instance();
    // Destroys the process-wide log (agent exit).
    static void destroy();
};

}  // namespace trellon
