#pragma once

#include <string>

// What the DNSCrypt proxy's log tells of its latest run. Its lines read "[YYYY-MM-DD HH:MM:SS] TEXT";
// the ones that say whether it serves are "Using resolver ..." (a run begins), "Certificate taken: ..."
// (it serves), "No usable certificate from ADDRESS: REASON" (it cannot reach or verify its resolver,
// and keeps trying), "Cannot listen on ADDRESS: REASON" and "Error: ..." (it ended). The last of them
// counts; other lines, and lines of another layout, say nothing.
class DNSCryptProxyLog {
public:
    explicit DNSCryptProxyLog(const std::string& text);

    // The log the proxy's launch-daemon list names (its --logfile), "/tmp/DNSCrypt.log" when it names none.
    static std::string devicePath();
    // The log at devicePath(); an empty one when there is none.
    static DNSCryptProxyLog read();

    // Why the proxy does not serve, on one line: "no usable certificate from 208.67.220.220:443: no
    // answer within 2 s", "cannot listen on 127.0.0.1:53: Address already in use", or what followed
    // "Error: ". Empty while nothing is known to be wrong.
    const std::string& problem() const { return latestProblem; }

private:
    void take(const std::string& text);

    std::string latestProblem;
};
