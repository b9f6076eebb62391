// The subcommands of the zeriza tool. Each returns the exit status and
// throws Failure for bad input or a failed operation, UsageError for a
// command line that cannot be carried out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zeriza.h"

namespace ztool {

enum class Format { Table, Dot, Hex };

int cmd_compile(const std::string &filter, Format format);
int cmd_short(const std::string &form);

// A capture on a network interface instead of capture files.
struct LiveOptions {
    std::string interface; // empty: read capture files
    int snaplen = 262144;  // bytes kept of each frame
    bool promiscuous = true;
    double duration = 0; // seconds, 0 for no limit
};

struct MatchOptions {
    std::string filter;                // rule text, or
    std::string short_form;            // a host:port short form
    std::vector<std::string> captures; // read in turn, "-" for standard input
    std::string out;                   // passing frames as pcap, when not empty
    int64_t count = 0;                 // stop after this many passing frames, 0 for all
    LiveOptions live;
};
int cmd_match(const MatchOptions &o);

struct RecordOptions {
    std::vector<std::string> captures; // one session each
    std::string log;                   // "-" for standard output
    std::string filter;
    int64_t count = 0; // stop after recording this many frames, 0 for all
    LiveOptions live;
};
int cmd_record(const RecordOptions &o);

// The interfaces that can be captured on, one a line as tcpdump -D lists them.
int cmd_interfaces();

int cmd_dump(const std::string &log, bool quiet);

int cmd_export(const std::string &log, const std::string &out, int session);

// The compiled filter of rule text; throws Failure with the library's message.
struct CompiledFilter {
    int size = 0; // before `nodes`, which the constructor fills with it
    filt_node *nodes = nullptr;
    explicit CompiledFilter(const std::string &text);
    ~CompiledFilter();
    CompiledFilter(const CompiledFilter &) = delete;
    CompiledFilter &operator=(const CompiledFilter &) = delete;
};

// Rule text for a short form; throws Failure with the library's message.
std::string expand_short(const std::string &form);

} // namespace ztool
