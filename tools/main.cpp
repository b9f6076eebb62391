// zeriza: compile filters, match captures, record and read capture logs.
//
// Exit status: 0 success, 1 bad input or a failed operation, 2 usage error,
// 128 + the signal's number when SIGINT or SIGTERM stopped a command.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "captures.h"
#include "commands.h"
#include "report.h"

namespace {

constexpr const char *kFieldsHelp = R"(
A log written by `record` holds, for each capture (or the interface captured
on): a session header with the capture's path (or the interface's name),
pcap link type, snapshot length and the compiled filter; one
type-1 event per passing frame, whose word1 and word2 are the frame's
timestamp (seconds, nanoseconds), whose data is the captured frame and whose
totlen is its original length; and an event that closes the session, whose
word1 is the number of frames read from the capture: type 3 when the capture
was read to its end, type 4 when the session was closed before (the -c count,
a signal, a read error) and for every live capture, with the reason in the
trailer's usr_word1 (1 count, 2 signal, 3 read error, 4 duration).
'-' names standard input (or output, for record -w).)";

const std::string kLinksHelp = std::string("Link types: ") + ztool::kSupportedLinks + ".";

// A count that must be at least 1.
const CLI::Range kPositive(int64_t{1}, INT64_MAX);

constexpr const char *kLiveHelp = R"(
With -i, frames are captured on the interface until the -c count, the
--duration or Ctrl-C (SIGINT) or SIGTERM, all of which end the capture
normally (exit status 0); the counts of frames seen, passed and dropped go to
standard error. Capturing needs root or the CAP_NET_RAW capability.)";

// The options of a live capture, for match and record.
CLI::Option *add_live_options(CLI::App *cmd, ztool::LiveOptions &live, bool &no_promiscuous)
{
    auto *iface = cmd->add_option(
        "-i", live.interface, "Capture on this interface instead (zeriza interfaces lists them)");
    cmd->add_option("-s", live.snaplen, "Bytes kept of each captured frame (0: 262144)")
        ->check(CLI::Range(0, 262144))
        ->needs(iface);
    cmd->add_flag("-p", no_promiscuous, "Do not put the interface into promiscuous mode")
        ->needs(iface);
    cmd->add_option("--duration", live.duration, "Stop capturing after this many seconds")
        ->check(CLI::PositiveNumber)
        ->needs(iface);
    return iface;
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"zeriza: compile packet filters, match captures, record and read capture logs"};
    app.set_version_flag("--version", "zeriza " ZERIZA_VERSION);
    app.require_subcommand(0, 1);
    bool list_interfaces = false;
    app.add_flag("-D", list_interfaces, "List the interfaces that can be captured on");

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
    bool match_no_promiscuous = false;
    auto *match = app.add_subcommand(
        "match", "Count the frames of captures, or of an interface, that pass a filter");
    auto *mfilter = match->add_option("FILTER", mo.filter, "Filter in the rule language");
    match->add_option("--short", mo.short_form, "Filter as a host:port short form")
        ->excludes(mfilter);
    auto *mread =
        match
            ->add_option(
                "-r", mo.captures,
                "Capture to read, '-' for standard input; repeat -r to read several in turn")
            ->allow_extra_args(false);
    add_live_options(match, mo.live, match_no_promiscuous)->excludes(mread);
    match->add_option("-w", mo.out,
                      "Write the passing frames to this pcap file, '-' for standard output");
    match->add_option("-c", mo.count, "Stop after this many passing frames")->check(kPositive);
    match->footer(kLinksHelp + "\nThe count of frames read and passed goes to standard error." +
                  kLiveHelp);

    ztool::RecordOptions ro;
    bool record_no_promiscuous = false;
    auto *record = app.add_subcommand(
        "record", "Write a capture log, one session per capture or of an interface");
    auto *rread =
        record
            ->add_option("-r", ro.captures,
                         "Capture to read, '-' for standard input; repeat -r for one session each")
            ->allow_extra_args(false);
    add_live_options(record, ro.live, record_no_promiscuous)->excludes(rread);
    record->add_option("-w", ro.log, "Log to write, '-' for standard output")->required();
    record->add_option("-c", ro.count, "Stop after recording this many frames")->check(kPositive);
    record->add_option("FILTER", ro.filter, "Filter for every session (none: every frame)");
    record->footer(kLinksHelp + "\n" + kFieldsHelp + kLiveHelp);

    auto *interfaces =
        app.add_subcommand("interfaces", "List the interfaces that can be captured on (as -D)");

    std::string log;
    bool quiet = false;
    auto *dump = app.add_subcommand("dump", "Print a capture log");
    dump->add_option("LOG", log, "Log to read, '-' for standard input")->required();
    dump->add_flag("-q", quiet, "Counts only, no line per event");
    dump->footer(kFieldsHelp);

    std::string out;
    int session = 0;
    auto *exportc = app.add_subcommand("export", "Write the frames of a log as a pcap file");
    exportc->add_option("LOG", log, "Log to read, '-' for standard input")->required();
    exportc->add_option("-w", out, "pcap file to write, '-' for standard output")->required();
    exportc->add_option("--session", session, "Only this session, counted from 1")
        ->check(CLI::Range(1, 127));

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
                     "export, interfaces; see --help)\n",
                     ztool::one_line(argv[1]).c_str());
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0)
            return app.exit(e); // --help, --version
        std::fprintf(stderr, "zeriza: %s (see --help)\n", ztool::one_line(e.what()).c_str());
        return 2;
    }
    if (app.get_subcommands().empty() != list_interfaces) {
        std::fprintf(stderr, "zeriza: give one subcommand, or -D alone (see --help)\n");
        return 2;
    }
    std::string command =
        list_interfaces ? "interfaces" : app.get_subcommands().front()->get_name();
    if (match->parsed() && mo.filter.empty() && mo.short_form.empty()) {
        std::fprintf(stderr, "zeriza match: give a FILTER or --short FORM (see --help)\n");
        return 2;
    }
    for (const auto *cmd : {match, record}) {
        if (cmd->parsed() && cmd->count("-r") == 0 && cmd->count("-i") == 0) {
            std::fprintf(stderr, "zeriza %s: give -r CAPTURE or -i INTERFACE (see --help)\n",
                         cmd->get_name().c_str());
            return 2;
        }
    }
    mo.live.promiscuous = !match_no_promiscuous;
    ro.live.promiscuous = !record_no_promiscuous;

    try {
        int status;
        if (compile->parsed())
            status = ztool::cmd_compile(filter, as_dot   ? ztool::Format::Dot
                                                : as_hex ? ztool::Format::Hex
                                                         : ztool::Format::Table);
        else if (shortc->parsed())
            status = ztool::cmd_short(form);
        else if (match->parsed())
            status = ztool::cmd_match(mo);
        else if (record->parsed())
            status = ztool::cmd_record(ro);
        else if (dump->parsed())
            status = ztool::cmd_dump(log, quiet);
        else if (interfaces->parsed() || list_interfaces)
            status = ztool::cmd_interfaces();
        else
            status = ztool::cmd_export(log, out, session);
        ztool::finish_stdout();
        return status;
    } catch (const ztool::UsageError &e) {
        std::fprintf(stderr, "zeriza %s: %s (see --help)\n", command.c_str(),
                     ztool::one_line(e.what()).c_str());
        return 2;
    } catch (const std::exception &e) {
        std::fflush(stdout); // what was printed before the failure, then the reason
        std::fprintf(stderr, "zeriza: %s\n", ztool::one_line(e.what()).c_str());
        return 1;
    }
}
