// RunTestCommand: the common flow of the three run-test commands
// ("bandwidth", "response", "streaming").
//
// execute reads the form and checks it, then either refuses the request or
// takes a new record from the test log, describes the test in it, starts the
// test thread and answers: a 302 to the results page ("html"), the address
// of the XML result ("xml"), or nothing. With `refresh` off the answer waits
// until the test thread has ended (it is joined and freed here); otherwise
// the thread frees itself when its test ends.
//
// Every request gets the same checks and bounds, whoever sends it: a program
// (`format` "xml", and whatever format answersWithoutPage names) is spared
// only the input page, and is refused with an XML document (plain text lines
// for its other formats) carrying the messages the page would show. A request
// is also refused while RunningTestSlots::kMaxRunningTests tests run; the
// slot it takes before the record goes back when its test thread has ended.
// A refused request makes no record and starts nothing.
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
    // The remote check asks the remote agent; the name may take long to resolve.
    bool mayWaitOnTheNetwork() const override { return true; }

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
    // The refusal while RunningTestSlots::kMaxRunningTests tests run.
    static std::string busyMessage();

    // The failed checks' messages, in order, each an HTML fragment as the
    // input page shows it.
    using Messages = std::vector<std::string>;
    // A refusal for a program: the XML document ("xml"), the same as JSON
    // (type, refused and the messages) or the text lines.
    static std::string refusalJson(const std::string& typeName, const Messages& messages);
    static std::string refusalXml(const std::string& typeName, const Messages& messages);
    static std::string refusalText(const Messages& messages);

    // What a program that leaves `refreshInterval` out gets (the record's
    // own default); programs do not refresh pages.
    static constexpr int kProgramRefreshInterval = 10;

protected:
    virtual std::unique_ptr<RunTestRequest> newRequest() const = 0;
    // The test's own fields and computed values (the common ones are read).
    virtual void readFields(const FormVariables& form, RunTestRequest& run) const = 0;
    // Whether a request in this format comes from a program, which is
    // answered without the input page ("xml", "json").
    virtual bool answersWithoutPage(const std::string& format) const {
        return format == "xml" || format == "json";
    }
    // The remote computer check: a name that does not resolve.
    virtual void checkRemoteComputer(const RunTestRequest& run, Messages& errors) const;
    // The field checks, each adding its message, in table order.
    virtual void checkFields(const RunTestRequest& run, Messages& errors) const = 0;
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
    // The input page with the messages, or a program's refusal.
    void refuse(HttpRequest& request, FormVariables& form, ResponseBuffer& out,
                const RunTestRequest& run, const Messages& errors) const;
    void sendBack(HttpRequest& request, FormVariables& form, ResponseBuffer& out,
                  const RunTestRequest& run, const std::string& errors) const;
    std::string explanation(const RunTestRequest& run) const;
    void describe(HttpRequest& request, const RunTestRequest& run, TestResult& record) const;
    void answer(HttpRequest& request, const RunTestRequest& run, int testId,
                ResponseBuffer& out) const;

    Description description_;
};

}  // namespace trellon
