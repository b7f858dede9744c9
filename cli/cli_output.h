#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// One field of a JSON Lines object: a number or a string.
struct JsonField {
    std::string_view key;
    std::string value;   // already JSON: a number, or a quoted string
};

JsonField jsonNumber(std::string_view key, std::uint64_t value);
JsonField jsonNumber(std::string_view key, std::int64_t value);
JsonField jsonText(std::string_view key, std::string_view text);

// Where a command-line run prints: reports on stdout, one line each, human
// (time stamp and the dialog's words) or JSON Lines; events on stderr, so
// that stdout stays machine-readable. Each line is flushed at once, for the
// scripts that read it as it comes. Safe to call from the worker thread.
class CliOutput {
public:
    CliOutput(std::string program, bool json, bool quiet);

    // Seconds since the output was made, for "t".
    double elapsedSeconds() const;
    std::uint64_t elapsedMs() const;

    // A report: text for the human form, fields (after "t") for JSON.
    void report(const std::string& text, const std::vector<JsonField>& fields);
    // The final summary; printed also under --quiet.
    void summary(const std::string& text, const std::vector<JsonField>& fields);
    // An event in the status line. A repeat of the previous event with no
    // report between them is not printed again.
    void event(const std::string& text);
    // A line on stderr saying why the program stops: "program: text".
    void fail(const std::string& text);

    const std::string& lastEvent() const { return lastEvent_; }

private:
    void printLine(const std::string& text, const std::vector<JsonField>& fields, bool final);

    std::string program_;
    bool json_;
    bool quiet_;
    std::chrono::steady_clock::time_point start_;
    std::mutex lock_;
    std::string lastEvent_;
    bool eventShown_ = false;
};
