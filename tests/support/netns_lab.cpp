#include "tests/support/netns_lab.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

// Every namespace of a lab is named "<prefix><pid>-<lab>-<part>", so that a
// stale one can be traced to its process and removed once that has gone.
constexpr char kPrefix[] = "mctlab";
constexpr char kNetnsDir[] = "/var/run/netns/";

std::atomic<int> labCounter{0};

// Runs a shell command line; its output (both streams) goes to *output.
// Returns the exit status, or -1 when it could not be run or was killed.
int run(const std::string& command, std::string* output = nullptr)
{
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::string text;
    char chunk[256];
    while (const size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
        text.append(chunk, n);
    const int status = ::pclose(pipe);
    if (output != nullptr)
        *output = std::move(text);
    return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

std::string shellQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

void removeNamespaces(const std::vector<std::string>& names)
{
    std::string command;
    for (const std::string& name : names)
        command += "ip netns delete " + name + "; ";
    if (!command.empty())
        run(command);
}

// Removes namespaces left by lab processes that died before cleaning up.
void removeStaleNamespaces()
{
    std::vector<std::string> stale;
    if (DIR* dir = ::opendir(kNetnsDir)) {
        const std::string prefix = kPrefix;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.compare(0, prefix.size(), prefix) != 0)
                continue;
            char* end = nullptr;
            const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
            if (pid <= 0 || *end != '-')
                continue;
            if (::kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH)
                stale.push_back(name);
        }
        ::closedir(dir);
    }
    removeNamespaces(stale);
}

bool enterNamespace(const std::string& name)
{
    const int fd = ::open((kNetnsDir + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool entered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return entered;
}

// The commands that give a host its cable: eth0 inside it, joined to the
// lab's bridge as port, with its addresses (IPv4, and IPv6 without the
// second of duplicate detection) and the route for the IPv4 groups; IPv6
// routes its groups by every link of its own.
std::string linkSetup(const std::string& bridge, const std::string& host, const std::string& port,
                      const std::string& address, const std::string& address6)
{
    const std::string in = " && ip -n " + host + " ";
    return "ip netns exec " + host + " sysctl -qw net.ipv6.conf.default.accept_dad=0 && ip -n " +
           bridge + " link add " + port + " type veth peer name eth0 netns " + host + " && ip -n " +
           bridge + " link set " + port + " master br0 up" + in + "addr add " + address +
           "/24 dev eth0" + in + "addr add " + address6 + "/64 dev eth0 nodad" + in +
           "link set eth0 up" + in + "route add 224.0.0.0/4 dev eth0";
}

std::string firstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

}   // namespace

NetnsLab::NetnsLab(int hosts)
{
    if (::geteuid() != 0) {
        reason_ = "needs root";
        return;
    }
    if (hosts < 1 || hosts > 250) {
        reason_ = "host count must be 1 to 250";
        return;
    }
    removeStaleNamespaces();

    const int lab = labCounter.fetch_add(1);
    prefix_ = kPrefix + std::to_string(::getpid()) + "-" + std::to_string(lab) + "-";
    const std::string bridge = prefix_ + "br";
    const std::string subnet = "10.77." + std::to_string(lab % 250) + ".";

    // The bridge lives in a namespace of its own, so nothing is ever added to
    // the machine's own network. Snooping is off: without a querier it could
    // stop forwarding groups after a while.
    std::string output;
    std::string failed;
    const std::string bridgeSetup =
        "ip netns add " + bridge + " && ip -n " + bridge +
        " link add br0 type bridge stp_state 0 mcast_snooping 0 && ip -n " + bridge +
        " link set br0 up";
    if (run(bridgeSetup, &output) != 0) {
        failed = bridgeSetup;
    } else {
        std::vector<std::string> made{bridge};
        for (int host = 0; host < hosts && failed.empty(); ++host) {
            const std::string name = prefix_ + "h" + std::to_string(host);
            const std::string port = "p" + std::to_string(host);
            const std::string address = subnet + std::to_string(host + 1);
            const std::string address6 =
                "fd77:" + std::to_string(lab % 250) + "::" + std::to_string(host + 1);
            const std::string setup = "ip netns add " + name + " && ip -n " + name +
                                      " link set lo up && " +
                                      linkSetup(bridge, name, port, address, address6);
            made.push_back(name);
            if (run(setup, &output) != 0)
                failed = setup;
            names_.push_back(name);
            addresses_.push_back(address);
            addresses6_.push_back(address6);
        }
        if (!failed.empty()) {
            removeNamespaces(made);
            names_.clear();
            addresses_.clear();
            addresses6_.clear();
        }
    }
    if (!failed.empty()) {
        reason_ = "could not make the lab: " + failed + ": " + firstLine(output);
        prefix_.clear();
        return;
    }

    for (const std::string& name : names_) {
        if (!awaitCarrier(name)) {
            reason_ = "link of " + name + " did not come up";
            return;   // the destructor removes what was made
        }
    }
    ok_ = true;
}

bool NetnsLab::awaitCarrier(const std::string& name)
{
    // Until the link has carrier, the first datagrams of a test would be lost
    // to a link still coming up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string output;
    while (run("ip -n " + name + " -o link show dev eth0", &output) != 0 ||
           output.find("state UP") == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        ::usleep(10000);
    }
    return true;
}

bool NetnsLab::replaceLink(int host) const
{
    if (!ok_ || host < 0 || host >= hostCount())
        return false;
    const std::string bridge = prefix_ + "br";
    const std::string port = "p" + std::to_string(host);
    // Deleting one end of a veth pair deletes the other with it.
    return run("ip -n " + bridge + " link delete " + port + " && " +
               linkSetup(bridge, names_[host], port, addresses_[host], addresses6_[host])) == 0 &&
           awaitCarrier(names_[host]);
}

NetnsLab::~NetnsLab()
{
    if (prefix_.empty())
        return;
    std::vector<std::string> made = names_;
    made.push_back(prefix_ + "br");
    removeNamespaces(made);
}

bool NetnsLab::enter(int host) const
{
    if (!ok_ || host < 0 || host >= hostCount())
        return false;
    return enterNamespace(names_[host]);
}

std::thread NetnsLab::start(int host, std::function<void()> fn) const
{
    const std::string name =
        (ok_ && host >= 0 && host < hostCount()) ? names_[host] : std::string();
    return std::thread([name, fn = std::move(fn)] {
        // Never run fn in the machine's own namespace: its traffic would leave the machine.
        if (!name.empty() && enterNamespace(name))
            fn();
    });
}

int NetnsLab::exec(int host, const std::string& command) const
{
    if (!ok_ || host < 0 || host >= hostCount())
        return -1;
    const int status =
        std::system(("ip netns exec " + names_[host] + " sh -c " + shellQuoted(command)).c_str());
    return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

int NetnsLab::execSwitch(const std::string& command) const
{
    if (!ok_)
        return -1;
    const int status =
        std::system(("ip netns exec " + prefix_ + "br sh -c " + shellQuoted(command)).c_str());
    return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}
