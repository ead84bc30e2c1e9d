// RunTestCommand: the common flow of the three run-test commands
// ("bandwidth", "response", "streaming").
//
// execute reads the form, checks it (unless a program asked with `format`
// "xml", whose request starts the test whatever it holds), and either runs
// the test's input page again with the messages and the user's values, or
// takes a new record from the test log, describes the test in it, starts the
// test thread and answers: a 302 to the results page ("html"), the address
// of the XML result ("xml"), or nothing. With `refresh` off the answer waits
// until the test thread has ended (it is joined and freed here); otherwise
// the thread frees itself when its test ends.
//
// One command object serves every request thread at once, so everything a
// request reads or computes lives in its own RunTestRequest (the subclass's
// own type, made by newRequest), never in the command.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "http/http_command.h"

namespace trellon {

class TestResult;
class TestThread;

// What one request asks for. Subclasses derive their own with the test's fields.
struct RunTestRequest {
    virtual ~RunTestRequest() = default;

    std::string format;
    std::string remoteComputer;
    std::string portNumber;
    bool verify = false;   // `verifyComputer` is "ON"
    bool waiting = false;  // `refresh` is off: answer once the test has ended
    std::string dscpChoice;
    std::string priorityChoice;
    std::string timeLimitText;
    std::string refreshIntervalText;

    int timeLimit = 0;
    int refreshInterval = 0;
    int reportInterval = -1;  // tests with a report interval set it; clamped to the time limit
    int dscp = -1;
    int priority = -1;
    int remoteControlPort = 4044;
    std::string hostName;  // this computer, for the explanation and the XML
    int controlPort = 4044;
};

class RunTestCommand : public HttpCommand {
public:
    // What the record of every test of this command carries.
    struct Description {
        std::string name;       // registered name
        std::string inputPage;  // the input page command ("responsepage")
        int testType;
        std::string runningImage;
        std::string stoppedImage;
        std::vector<std::string> columnHeadings;
        std::string localRole;
        std::string remoteRole;
        std::string title;
        std::string typeName;
    };

    explicit RunTestCommand(Description description);

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) final;

    const Description& description() const { return description_; }

    // A number field: after leading blanks and TABs, one or more decimal
    // digits followed only by blanks or TABs (so "" and "-5" are not).
    static bool isNumber(const std::string& text);
    // The usual decimal reading: leading blanks, then the leading digits;
    // none gives 0. Values beyond the int range stop at its limit.
    static int readNumber(const std::string& text);
    // `refresh` "off", "false", "OFF" or "FALSE".
    static bool waitingRequested(const std::string& refresh);
    // "<p>Please enter a time limit between 1 and <maximum> seconds.</p>"
    static std::string timeLimitMessage(int maximum);

protected:
    virtual std::unique_ptr<RunTestRequest> newRequest() const = 0;
    // The test's own fields and computed values (the common ones are read).
    virtual void readFields(const FormVariables& form, RunTestRequest& run) const = 0;
    // Whether the form checks are skipped for this format ("xml").
    virtual bool checksSkipped(const std::string& format) const { return format == "xml"; }
    // The remote computer check: a name that does not resolve.
    virtual void checkRemoteComputer(const RunTestRequest& run, std::string& errors) const;
    // The field checks, each appending its message, in table order.
    virtual void checkFields(const RunTestRequest& run, std::string& errors) const = 0;
    // Selection marks for the input page shown again (units, stream kind).
    virtual void setSelectionMarks(const RunTestRequest&, FormVariables&) const {}
    // The explanation's test-specific first part; the marking and verify
    // sentences follow it.
    virtual std::string explanationHead(const RunTestRequest& run) const = 0;
    // Record fields of this test only, after the common ones.
    virtual void fillRecord(const RunTestRequest&, TestResult&) const {}
    // The XML elements after `URL` (before it when urlAfterElements).
    virtual void addXmlElements(const RunTestRequest& run, TestResult& record) const = 0;
    virtual bool urlAfterElements() const { return false; }
    virtual std::unique_ptr<TestThread> createThread(const RunTestRequest& run,
                                                     std::shared_ptr<TestResult> record,
                                                     bool deleteSelf) const = 0;
    // The largest time limit the settings allow for this test.
    virtual int maximumTimeLimit() const = 0;

private:
    void readCommonFields(HttpRequest& request, const FormVariables& form,
                          RunTestRequest& run) const;
    void sendBack(HttpRequest& request, FormVariables& form, ResponseBuffer& out,
                  const RunTestRequest& run, const std::string& errors) const;
    std::string explanation(const RunTestRequest& run) const;
    void describe(HttpRequest& request, const RunTestRequest& run, TestResult& record) const;
    void answer(HttpRequest& request, const RunTestRequest& run, int testId,
                ResponseBuffer& out) const;

    Description description_;
};

}  // namespace trellon
