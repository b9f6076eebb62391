// zeriza: compile filters, match captures, record and read capture logs.
//
// Exit status: 0 success, 1 bad input or a failed operation, 2 usage error.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "tools/captures.h"
#include "tools/commands.h"

namespace {

constexpr const char *kFieldsHelp = R"(
A log written by `record` holds, for each capture: a session header with the
capture's path, pcap link type, snapshot length and the compiled filter; one
type-1 event per passing frame, whose word1 and word2 are the frame's
timestamp (seconds, nanoseconds), whose data is the captured frame and whose
totlen is its original length; and a type-3 event that closes the session,
whose word1 is the number of frames read from the capture.)";

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"zeriza: compile packet filters, match captures, record and read capture logs"};
    app.set_version_flag("--version", "zeriza " ZERIZA_VERSION);
    app.require_subcommand(1);

    std::string filter;
    auto *compile = app.add_subcommand("compile", "Compile a filter and print its node table");
    compile->add_option("FILTER", filter, "Filter in the rule language")->required();
    bool as_dot = false, as_hex = false;
    auto *dot = compile->add_flag("--dot", as_dot, "Print the tree as a Graphviz graph");
    compile->add_flag("--hex", as_hex, "Print the raw bytes of the compiled filter")->excludes(dot);

    std::string form;
    auto *shortc = app.add_subcommand("short", "Print the rule text of a host:port short form");
    shortc->add_option("FORM", form, "host, host:port, :port, with '!' to negate a half")
        ->required();

    ztool::MatchOptions mo;
    auto *match = app.add_subcommand(
        "match", "Count the frames of a pcap or pcapng capture that pass a filter");
    auto *mfilter = match->add_option("FILTER", mo.filter, "Filter in the rule language");
    match->add_option("-s,--short", mo.short_form, "Filter as a host:port short form")
        ->excludes(mfilter);
    match->add_option("-r", mo.capture, "Capture to read, '-' for standard input")->required();
    match->add_option("-w", mo.out, "Write the passing frames to this pcap file");
    match->add_option("-c", mo.count, "Stop after reading this many frames");
    match->footer("Link types: Ethernet (EN10MB) and raw IPv4 (RAW, IPV4).");

    ztool::RecordOptions ro;
    auto *record = app.add_subcommand("record", "Write a capture log, one session per capture");
    record->add_option("-r", ro.captures, "Captures to read")->required();
    record->add_option("-w", ro.log, "Log to write, '-' for standard output")->required();
    record->add_option("FILTER", ro.filter, "Filter for every session (none: every frame)");
    record->footer(kFieldsHelp);

    std::string log;
    bool quiet = false;
    auto *dump = app.add_subcommand("dump", "Print a capture log");
    dump->add_option("LOG", log, "Log to read")->required();
    dump->add_flag("-q", quiet, "Counts only, no line per event");
    dump->footer(kFieldsHelp);

    std::string out;
    int session = 0;
    auto *exportc = app.add_subcommand("export", "Write the frames of a log as a pcap file");
    exportc->add_option("LOG", log, "Log to read")->required();
    exportc->add_option("-w", out, "pcap file to write")->required();
    exportc->add_option("--session", session, "Only this session (from 1)");

    // An unknown first word is a mistyped subcommand, not a missing one.
    auto known = [&app](const char *word) {
        for (const CLI::App *sub : app.get_subcommands([](const CLI::App *) { return true; }))
            if (sub->get_name() == word)
                return true;
        return false;
    };
    if (argc > 1 && argv[1][0] != '-' && !known(argv[1])) {
        std::fprintf(stderr,
                     "zeriza: unknown subcommand '%s' (compile, short, match, record, dump, "
                     "export; see --help)\n",
                     argv[1]);
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0)
            return app.exit(e); // --help, --version
        std::fprintf(stderr, "zeriza: %s (see --help)\n", e.what());
        return 2;
    }
    if (match->parsed() && mo.filter.empty() && mo.short_form.empty()) {
        std::fprintf(stderr, "zeriza match: give a FILTER or -s FORM (see --help)\n");
        return 2;
    }

    try {
        if (compile->parsed())
            return ztool::cmd_compile(filter, as_dot   ? ztool::Format::Dot
                                              : as_hex ? ztool::Format::Hex
                                                       : ztool::Format::Table);
        if (shortc->parsed())
            return ztool::cmd_short(form);
        if (match->parsed())
            return ztool::cmd_match(mo);
        if (record->parsed())
            return ztool::cmd_record(ro);
        if (dump->parsed())
            return ztool::cmd_dump(log, quiet);
        return ztool::cmd_export(log, out, session);
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zeriza: %s\n", e.what());
        return 1;
    }
}
