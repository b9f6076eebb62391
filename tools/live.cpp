#include "live.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>

#include "captures.h"
#include "interrupt.h"
#include "progress.h"
#include "report.h"

namespace ztool {
namespace {

constexpr int kDefaultSnaplen = 262144;

// How long libpcap may hold frames before handing them over, and how long
// a read waits for them: the stop conditions and the status line are looked
// at this often.
constexpr int kWaitMs = 100;

std::string activation_error(pcap_t *p, int rc)
{
    switch (rc) {
    case PCAP_ERROR_PERM_DENIED:
        return "permission denied; capturing needs root or the CAP_NET_RAW capability";
    case PCAP_ERROR_NO_SUCH_DEVICE:
        return "no such interface (zeriza interfaces lists them)";
    case PCAP_ERROR_IFACE_NOT_UP:
        return "the interface is not up";
    default: {
        std::string why = pcap_geterr(p);
        return why.empty() ? pcap_statustostr(rc) : why;
    }
    }
}

struct Delivery {
    FrameBatch *batch;
    bool nano;
};

void deliver(u_char *user, const pcap_pkthdr *h, const u_char *data)
{
    const auto &d = *reinterpret_cast<const Delivery *>(user);
    Packet p;
    p.sec = h->ts.tv_sec;
    p.nsec = d.nano ? h->ts.tv_usec : int64_t{h->ts.tv_usec} * 1000;
    normalise_stamp(p.sec, p.nsec);
    p.caplen = h->caplen;
    p.origlen = h->len;
    p.data = data;
    d.batch->add(p);
}

} // namespace

LiveCapture::LiveCapture(const LiveOptions &o) : name_(o.interface)
{
    char err[PCAP_ERRBUF_SIZE] = "";
    pcap_ = pcap_create(name_.c_str(), err);
    if (!pcap_)
        throw Failure("cannot capture on " + name_ + ": " + err);
    pcap_set_snaplen(pcap_, o.snaplen > 0 ? o.snaplen : kDefaultSnaplen);
    pcap_set_promisc(pcap_, o.promiscuous ? 1 : 0);
    pcap_set_timeout(pcap_, kWaitMs);
    nano_ = pcap_set_tstamp_precision(pcap_, PCAP_TSTAMP_PRECISION_NANO) == 0;
    std::string failure;
    if (int rc = pcap_activate(pcap_); rc < 0) {
        failure = "cannot capture on " + name_ + ": " + activation_error(pcap_, rc);
    } else {
        if (rc > 0) // capturing, but not quite as asked (promiscuous mode, for one)
            std::fprintf(stderr, "zeriza: warning: %s: %s\n", one_line(name_).c_str(),
                         one_line(pcap_geterr(pcap_)[0] ? pcap_geterr(pcap_) : pcap_statustostr(rc))
                             .c_str());
        if (auto link = link_of(dlt()))
            link_ = *link;
        else
            failure = unsupported_link("interface " + name_, dlt());
    }
    // Non-blocking, with our own wait, so that a stop signal ends the wait
    // at once.
    if (failure.empty() &&
        (pcap_setnonblock(pcap_, 1, err) != 0 || (fd_ = pcap_get_selectable_fd(pcap_)) < 0))
        failure = "cannot capture on " + name_ + ": no descriptor to wait on";
    if (!failure.empty()) {
        pcap_close(pcap_); // a constructor that throws gets no destructor
        throw Failure(failure);
    }
}

LiveCapture::~LiveCapture()
{
    pcap_close(pcap_);
}

int LiveCapture::dlt() const
{
    return pcap_datalink(pcap_);
}

int LiveCapture::snaplen() const
{
    return pcap_snapshot(pcap_);
}

void LiveCapture::read(FrameBatch &batch, int wait_ms)
{
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, wait_ms) < 0 && errno != EINTR)
        throw ReadError("capture on " + name_ + " failed: " + errno_text(errno));
    Delivery d{&batch, nano_};
    if (pcap_dispatch(pcap_, -1, deliver, reinterpret_cast<u_char *>(&d)) == PCAP_ERROR)
        throw ReadError("capture on " + name_ + " failed: " + pcap_geterr(pcap_));
}

LiveCapture::Drops LiveCapture::drops()
{
    pcap_stat st{};
    if (pcap_stats(pcap_, &st) != 0)
        return {};
    return {true, st.ps_drop, st.ps_ifdrop};
}

LiveRun run_live(LiveCapture &cap, const filt_node *filter, const LiveOptions &o, int64_t count,
                 const char *passed, const std::function<void(const Packet &)> &pass)
{
    using clock = std::chrono::steady_clock;
    const auto until = clock::now() + std::chrono::duration_cast<clock::duration>(
                                          std::chrono::duration<double>(o.duration));
    const char *described = pcap_datalink_val_to_description(cap.dlt());
    std::fprintf(stderr, "listening on %s, link type %s (%s), snapshot length %d bytes\n",
                 one_line(cap.name()).c_str(), pcap_datalink_val_to_name(cap.dlt()),
                 described ? described : "?", cap.snaplen());
    LiveRun run;
    FrameBatch batch;
    Progress progress;
    try {
        // Once asked to stop, a last read takes what libpcap already holds.
        for (bool last = false; !last;) {
            last = stop_signal() || (o.duration > 0 && clock::now() >= until);
            batch.clear();
            cap.read(batch, last ? 0 : kWaitMs);
            batch.match(filter, cap.link());
            for (size_t i = 0; i < batch.size(); ++i) {
                ++run.seen;
                if (!batch.passed(i))
                    continue;
                ++run.passed;
                pass(batch.packet(i));
                if (count > 0 && run.passed >= static_cast<uint64_t>(count)) {
                    run.end = SessionEnd::Count;
                    run.drops = cap.drops();
                    return run;
                }
            }
            progress.refresh([&] {
                return cap.name() + ": " + std::to_string(run.seen) + " seen, " +
                       std::to_string(run.passed) + " " + passed + ", " +
                       std::to_string(cap.drops().kernel) + " dropped";
            });
        }
        run.end = stop_signal() ? SessionEnd::Signal : SessionEnd::Duration;
    } catch (const ReadError &e) {
        run.end = SessionEnd::ReadError;
        run.error = e.what();
    }
    run.drops = cap.drops();
    return run;
}

std::string live_summary(const LiveCapture &cap, const LiveRun &run, const char *passed)
{
    std::string line = one_line(cap.name()) + ": " + std::to_string(run.seen) + " frames seen, " +
                       std::to_string(run.passed) + " " + passed + ", ";
    if (!run.drops.known)
        return line + "drops unknown\n";
    return line + std::to_string(run.drops.kernel) + " dropped by the kernel, " +
           std::to_string(run.drops.interface) + " dropped by the interface\n";
}

int cmd_interfaces()
{
    pcap_if_t *found = nullptr;
    char err[PCAP_ERRBUF_SIZE] = "";
    if (pcap_findalldevs(&found, err) != 0)
        throw Failure(std::string("cannot list the interfaces: ") + err);
    std::unique_ptr<pcap_if_t, void (*)(pcap_if_t *)> all(found, pcap_freealldevs);
    if (!all)
        throw Failure("no interface to capture on");
    int n = 0;
    for (const pcap_if_t *d = all.get(); d; d = d->next) {
        std::string line = std::to_string(++n) + "." + one_line(d->name);
        if (d->description)
            line += " (" + one_line(d->description) + ")";
        std::string flags;
        auto flag = [&flags](bool on, const char *word) {
            if (on)
                flags += (flags.empty() ? "" : ", ") + std::string(word);
        };
        flag(d->flags & PCAP_IF_UP, "Up");
        flag(d->flags & PCAP_IF_RUNNING, "Running");
        flag(d->flags & PCAP_IF_WIRELESS, "Wireless");
        flag(d->flags & PCAP_IF_LOOPBACK, "Loopback");
        const auto status = d->flags & PCAP_IF_CONNECTION_STATUS;
        flag(status == PCAP_IF_CONNECTION_STATUS_CONNECTED, "Connected");
        flag(status == PCAP_IF_CONNECTION_STATUS_DISCONNECTED, "Disconnected");
        out(line + " [" + flags + "]\n");
    }
    return 0;
}

} // namespace ztool
