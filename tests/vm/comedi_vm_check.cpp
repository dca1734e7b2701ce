// The comedi card against the kernel's own 8255 driver, inside the throwaway virtual machine
// that scripts/comedi-vm-test boots. The board is attached at an I/O base where the emulator's
// test device reads back, byte by byte, what was last written: ports A, B and C and the control
// register, as far as a program reading inputs can tell. Everything goes through the classes
// the program itself uses: the card catalog, the card control and DeviceControl.
//
//   comedi_vm_check /dev/comedi0 0xe0
//
// One line per check, "PASS name" or "FAIL name: why"; the exit status is the number of
// failures (capped), 0 when all passed.

#include "automation/automation_error.h"
#include "automation/device_control.h"
#include "cards/card_control.h"
#include "system_card_catalog.h"

#include <comedilib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <iterator>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

using namespace velmora;

namespace {

constexpr std::int16_t AllInputs = 155; // 0x9B, the word "Initial" sends
constexpr unsigned ControlRegister = 3;
constexpr std::chrono::milliseconds PollInterval{20};
constexpr std::chrono::seconds DetachDeadline{5};
constexpr unsigned WatchdogSeconds = 30;
constexpr uid_t Nobody = 65534;
constexpr gid_t CardGroup = 4242; // stands for Debian's 'iocard' group

// Only a machine booted for this writes I/O ports: on a real one 0xE0 may be anything.
constexpr const char *GuestMarker = "velmora.vmcheck";

// A check that never returns is a failure with its name, not a silent end of the output.
char g_current[160] = "start-up";

void watchdog(int)
{
    const char head[] = "FAIL ";
    const char tail[] = ": no answer (hung)\n";
    (void)!write(STDOUT_FILENO, head, sizeof head - 1);
    (void)!write(STDOUT_FILENO, g_current, std::strlen(g_current));
    (void)!write(STDOUT_FILENO, tail, sizeof tail - 1);
    _exit(125);
}

class Report final {
public:
    void begin(const std::string &name)
    {
        std::snprintf(g_current, sizeof g_current, "%s", name.c_str());
        alarm(WatchdogSeconds);
    }
    bool check(const std::string &name, bool ok, const std::string &why = {})
    {
        if (ok)
            std::printf("PASS %s\n", name.c_str());
        else
            std::printf("FAIL %s: %s\n", name.c_str(), why.c_str());
        std::fflush(stdout);
        m_failed += ok ? 0 : 1;
        return ok;
    }
    void addFailures(int n) { m_failed += n; }
    int failed() const { return m_failed; }

private:
    int m_failed = 0;
};

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

bool mentions(const std::string &text, const std::string &word)
{
    return lower(text).find(lower(word)) != std::string::npos;
}

std::string hex(unsigned value)
{
    char s[16];
    std::snprintf(s, sizeof s, "0x%02X", value);
    return s;
}

// The I/O ports of the emulated 8255, through /dev/port.
class Ports final {
public:
    explicit Ports(unsigned base)
        : m_base(base)
        , m_fd(::open("/dev/port", O_RDWR | O_CLOEXEC))
    {}
    ~Ports()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Ports(const Ports &) = delete;
    Ports &operator=(const Ports &) = delete;

    bool usable() const { return m_fd >= 0; }
    bool write(unsigned offset, std::uint8_t value)
    {
        return pwrite(m_fd, &value, 1, off_t(m_base + offset)) == 1;
    }
    int read(unsigned offset)
    {
        std::uint8_t value = 0;
        return pread(m_fd, &value, 1, off_t(m_base + offset)) == 1 ? value : -1;
    }

private:
    unsigned m_base;
    int m_fd;
};

// A card chosen from the list as the program holds it: the control, and the window's view of it.
struct ChosenCard {
    explicit ChosenCard(std::unique_ptr<Card> card)
        : control(std::move(card))
    {}
    CardControl control;
    DeviceControl device{control};
};

// The node's row in the device list as it stands now.
std::optional<CardOffer> listedRow(const std::string &node)
{
    for (CardOffer &offer : SystemCardCatalog().offers()) {
        if (offer.info.location == node)
            return std::move(offer);
    }
    return std::nullopt;
}

std::string describe(const std::optional<CardOffer> &row)
{
    if (!row)
        return "no row for the node";
    return "row '" + row->info.name + "' [" + row->info.kind + "] '" + row->status + "' fix '" +
           row->fix + "'";
}

// A row that cannot be opened: it says why in words matching `kind`, and what to do.
bool unusableRow(const std::optional<CardOffer> &row, const std::string &kind)
{
    return row && !row->usable && !row->make && mentions(row->status, kind) && !row->fix.empty();
}

// Runs `step` and returns the error it raised, if any.
std::optional<AutomationError> raised(const std::function<void()> &step)
{
    try {
        step();
    } catch (const AutomationError &error) {
        return error;
    }
    return std::nullopt;
}

// A raised error a user can act on: a code, the node named, the kind of failure, and the
// fix the device list shows for the same state.
bool actionable(const std::optional<AutomationError> &error, const std::string &node,
                const std::string &kind, const std::string &fix, std::string &why)
{
    if (!error) {
        why = "no error raised";
        return false;
    }
    why = "error " + std::to_string(error->code()) + ": " + error->description();
    return error->code() != 0 && mentions(error->description(), node) &&
           mentions(error->description(), kind) && !fix.empty() &&
           mentions(error->description(), fix);
}

bool comediConfig(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    std::string program = "comedi_config";
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string &arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "comedi_config", nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs `body` in a child process and returns its failure count; the child prints its own lines.
int inChild(const std::function<int()> &body)
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        int failures = 1;
        try {
            failures = body();
        } catch (const std::exception &error) {
            std::printf("FAIL %s: %s\n", g_current, error.what());
        }
        std::fflush(stdout);
        _exit(std::min(failures, 100));
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return 1;
    return WEXITSTATUS(status);
}

// Another program holding subdevice 0 through comedi_lock, until released.
class LockHolder final {
public:
    explicit LockHolder(const std::string &node)
    {
        int ready[2];
        int release[2];
        if (pipe(ready) != 0 || pipe(release) != 0)
            return;
        std::fflush(stdout);
        m_pid = fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            comedi_t *device = comedi_open(node.c_str());
            const char answer = device != nullptr && comedi_lock(device, 0) == 0 ? 'L' : 'E';
            (void)!::write(ready[1], &answer, 1);
            char c;
            while (::read(release[0], &c, 1) > 0) {
            }
            if (device != nullptr)
                comedi_close(device);
            _exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        m_release = release[1];
        char answer = 0;
        m_locked = m_pid > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 'L';
        ::close(ready[0]);
    }
    ~LockHolder() { release(); }
    LockHolder(const LockHolder &) = delete;
    LockHolder &operator=(const LockHolder &) = delete;

    bool locked() const { return m_locked; }
    void release()
    {
        if (m_release >= 0)
            ::close(m_release);
        m_release = -1;
        if (m_pid > 0)
            waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    int m_release = -1;
    bool m_locked = false;
};

class Checks final {
public:
    Checks(std::string node, unsigned base)
        : m_node(std::move(node))
        , m_base(base)
        , m_ports(base)
    {}

    int run()
    {
        if (!m_ports.usable()) {
            m_report.check("/dev/port opens", false, std::strerror(errno));
            return m_report.failed();
        }
        if (!listed())
            return m_report.failed(); // nothing else can be reached
        initialAndReads();
        lockedElsewhere();
        unprivilegedUser();
        detachedWhilePolling();
        alarm(0);
        return m_report.failed();
    }

private:
    bool listed()
    {
        m_report.begin("listed");
        const std::optional<CardOffer> row = listedRow(m_node);
        const bool ok = row && row->usable && row->make && row->info.kind == "comedi DIO" &&
                        row->status == "Ready" && mentions(row->info.name, "8255") &&
                        mentions(row->info.name, m_node);
        m_report.check("listed: the 8255 board on " + m_node + " as comedi DIO, Ready", ok,
                       describe(row));
        if (ok)
            m_make = row->make;
        return ok;
    }

    void initialAndReads()
    {
        m_report.begin("Initial");
        ChosenCard card(m_make());
        DeviceControl &device = card.device;
        // The driver wrote the word when the board was attached; clear it so only "Initial"
        // can put it back.
        m_ports.write(ControlRegister, 0);
        std::optional<bool> configured;
        const auto error = raised([&] { configured = device.ConfigurePorts(0, AllInputs); });
        const int word = m_ports.read(ControlRegister);
        m_report.check("Initial: ConfigurePorts(0, 155) is True and writes 0x9B to the 8255",
                       !error && configured == true && word == 0x9B,
                       error ? error->description()
                             : "result " + std::to_string(configured.value_or(false)) +
                                   ", control register " + hex(unsigned(word)));

        // Each pair apart, so a swapped port, a shift or a lost bit shows.
        constexpr std::pair<std::uint8_t, std::uint8_t> Pairs[] = {
            {0x00, 0x00}, {0xFF, 0xFF}, {0x55, 0xAA}, {0xAA, 0x55},
            {0x01, 0x80}, {0x80, 0x01}, {0xA5, 0x3C}, {0xFF, 0x00},
        };
        for (const auto &[a, b] : Pairs) {
            const std::string name = "reads A=" + hex(a) + " B=" + hex(b);
            m_report.begin(name);
            // Port C gets the complement of A, so a read of the wrong port shows.
            const bool written =
                m_ports.write(0, a) && m_ports.write(1, b) && m_ports.write(2, std::uint8_t(~a));
            std::int16_t sample = -1; // the tick reads both ports into one variable
            std::int16_t portA = -1;
            std::int16_t portB = -1;
            const auto failure = raised([&] {
                if (device.ReadPort(0, sample))
                    portA = sample;
                if (device.ReadPort(1, sample))
                    portB = sample;
            });
            m_report.check(name, written && !failure && portA == a && portB == b,
                           failure ? failure->description()
                                   : "port 0 gave " + std::to_string(portA) + ", port 1 gave " +
                                         std::to_string(portB));
        }
    }

    void lockedElsewhere()
    {
        m_report.begin("locked elsewhere");
        ChosenCard polling(m_make());
        DeviceControl &device = polling.device;
        std::int16_t sample = 0;
        const auto before = raised([&] {
            device.ConfigurePorts(0, AllInputs);
            device.ReadPort(0, sample);
        });
        if (!m_report.check("locked elsewhere: the card polls before the lock", !before,
                            before ? before->description() : ""))
            return;

        LockHolder holder(m_node);
        if (!m_report.check("locked elsewhere: another process takes comedi_lock", holder.locked(),
                            "comedi_lock failed"))
            return;

        const std::optional<CardOffer> row = listedRow(m_node);
        m_report.check("locked elsewhere: the row says busy and how to free it",
                       unusableRow(row, "busy") && !mentions(row->fix, "group"), describe(row));
        const std::string fix = row ? row->fix : std::string();

        std::string why;
        bool ok = actionable(raised([&] { device.ReadPort(0, sample); }), m_node, "busy", fix, why);
        m_report.check("locked elsewhere: polling raises the busy error with its fix", ok, why);
        ChosenCard chosen(m_make());
        ok = actionable(raised([&] { chosen.device.ConfigurePorts(0, AllInputs); }), m_node, "busy",
                        fix, why);
        m_report.check("locked elsewhere: Initial on a newly chosen card raises the busy error", ok,
                       why);

        holder.release();
        m_ports.write(0, 0x5A);
        const auto after = raised([&] { device.ReadPort(0, sample); });
        m_report.check("locked elsewhere: polling reads again once the lock is gone",
                       !after && sample == 0x5A,
                       after ? after->description() : "read " + std::to_string(sample));
    }

    void unprivilegedUser()
    {
        m_report.begin("unprivileged user");
        // Debian's udev rule: the node belongs to root and the card group, and no one else.
        if (!m_report.check("unprivileged user: the node is made root:card group 0660",
                            chown(m_node.c_str(), 0, CardGroup) == 0 &&
                                chmod(m_node.c_str(), 0660) == 0,
                            std::strerror(errno)))
            return;

        m_report.addFailures(inChild([this] {
            Report report;
            if (!dropTo({}, "unprivileged user", report))
                return report.failed();
            const std::optional<CardOffer> row = listedRow(m_node);
            report.check("unprivileged user: the row says permission denied and the group to join",
                         unusableRow(row, "permission") && !mentions(row->status, "busy"),
                         describe(row));
            const std::string fix = row ? row->fix : std::string();
            ChosenCard card(m_make());
            DeviceControl &device = card.device;
            std::string why;
            const bool ok = actionable(raised([&] { device.ConfigurePorts(0, AllInputs); }), m_node,
                                       "permission", fix, why);
            report.check("unprivileged user: Initial raises the permission error with its fix", ok,
                         why);
            return report.failed();
        }));

        m_report.addFailures(inChild([this] {
            Report report;
            if (!dropTo({CardGroup}, "unprivileged user in the card group", report))
                return report.failed();
            const std::optional<CardOffer> row = listedRow(m_node);
            report.check("unprivileged user in the card group: the row is Ready",
                         row && row->usable && row->status == "Ready", describe(row));
            return report.failed();
        }));
        chmod(m_node.c_str(), 0600);
        chown(m_node.c_str(), 0, 0);
    }

    static bool dropTo(const std::vector<gid_t> &groups, const std::string &who, Report &report)
    {
        return report.check(who + ": the process gives up root",
                            setgroups(groups.size(), groups.data()) == 0 && setgid(Nobody) == 0 &&
                                setuid(Nobody) == 0 && geteuid() == Nobody,
                            std::strerror(errno));
    }

    void detachedWhilePolling()
    {
        m_report.begin("detached while polling");
        ChosenCard card(m_make());
        DeviceControl &device = card.device;
        std::int16_t sample = 0;
        std::optional<AutomationError> error = raised([&] { device.ConfigurePorts(0, AllInputs); });
        bool detached = false;
        int ticks = 0;
        const auto deadline = std::chrono::steady_clock::now() + DetachDeadline;
        while (!error && std::chrono::steady_clock::now() < deadline) {
            error = raised([&] {
                device.ReadPort(0, sample);
                device.ReadPort(1, sample);
            });
            if (++ticks == 5)
                detached = comediConfig({"-r", m_node});
            std::this_thread::sleep_for(PollInterval);
        }
        m_report.check("detached while polling: comedi_config -r succeeds", detached,
                       "comedi_config -r failed");

        const std::optional<CardOffer> row = listedRow(m_node);
        m_report.check("detached: the row says no device and to configure the board",
                       unusableRow(row, "no such device") && mentions(row->fix, "comedi_config"),
                       describe(row));

        std::string why;
        const bool ok =
            ticks > 5 && actionable(error, m_node, "no such device", "comedi_config", why);
        m_report.check("detached while polling: the next tick raises an error naming the fix", ok,
                       why + " after " + std::to_string(ticks) + " ticks");

        m_report.begin("attached again");
        const bool attached = comediConfig({m_node, "8255", hex(m_base)});
        const std::optional<CardOffer> rowAgain = listedRow(m_node);
        m_report.check("attached again: the row is Ready", attached && rowAgain && rowAgain->usable,
                       describe(rowAgain));
    }

    std::string m_node;
    unsigned m_base;
    Ports m_ports;
    Report m_report;
    std::function<std::unique_ptr<Card>()> m_make;
};

bool bootedForThis()
{
    std::ifstream in("/proc/cmdline");
    const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return line.find(GuestMarker) != std::string::npos;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s /dev/comediN IO-BASE\n", argv[0]);
        return 2;
    }
    if (!bootedForThis()) {
        std::fprintf(stderr,
                     "%s: writes I/O ports; it runs only in the machine scripts/comedi-vm-test "
                     "boots\n",
                     argv[0]);
        return 2;
    }
    std::signal(SIGALRM, watchdog);
    const int failed = Checks(argv[1], unsigned(std::strtoul(argv[2], nullptr, 0))).run();
    std::printf("CHECKS DONE\n");
    return std::min(failed, 100);
}
