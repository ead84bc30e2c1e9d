// ResponseReflector: the far end of the response-time test.
#pragma once

namespace trellon {

class ResponseReflector {
public:
    explicit ResponseReflector(int port) : port_(port) {}
    void openSocketRunThreads() {}
    int port() const { return port_; }
    void pulse() {}
    void stop() {}

private:
    int port_;
};

}  // namespace trellon
