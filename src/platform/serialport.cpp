#include "serialport.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How often a tty with modem lines is looked at for line events while nothing else happens.
constexpr int kLineSampleMs = 20;

constexpr uint32_t kLineEvents = PLAT_EV_CTS | PLAT_EV_DSR | PLAT_EV_DCD | PLAT_EV_BREAK | PLAT_EV_ERR | PLAT_EV_RING;

struct BaudSpeed {
    uint32_t baud;
    speed_t speed;
};

constexpr BaudSpeed kSpeeds[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
    {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
    {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

// B0 is not in the table: as a speed it hangs the line up.
bool speedOf(uint32_t baud, speed_t& speed) {
    for (const auto& s : kSpeeds) {
        if (s.baud == baud) {
            speed = s.speed;
            return true;
        }
    }
    return false;
}

uint32_t baudOf(speed_t speed) {
    for (const auto& s : kSpeeds)
        if (s.speed == speed) return s.baud;
    return 0;
}

constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};

struct StatusBit {
    int tiocm;
    uint32_t status;
    uint32_t event;
};

constexpr StatusBit kStatusBits[] = {
    {TIOCM_CTS, PLAT_MS_CTS, PLAT_EV_CTS},
    {TIOCM_DSR, PLAT_MS_DSR, PLAT_EV_DSR},
    {TIOCM_RNG, PLAT_MS_RING, PLAT_EV_RING},
    {TIOCM_CD, PLAT_MS_DCD, PLAT_EV_DCD},
};

bool isGone(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EBADF; }

void signalFd(int fd) {
    if (fd < 0) return;
    uint64_t one = 1;
    ssize_t n = ::write(fd, &one, sizeof one);
    (void)n;   // a full counter is already signalled
}

void drainFd(int fd) {
    uint64_t value;
    ssize_t n = ::read(fd, &value, sizeof value);
    (void)n;
}

class TtyPort final : public PlatSerialPort {
public:
    ~TtyPort() override { close(); }

    int open(const std::string& path) override {
        if (fd_ >= 0) return EBUSY;
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return errno;
        // The lock keeps out every other opener, privileged or not; TIOCEXCL tells other
        // programs that do not lock.
        int error = 0;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) error = errno == EWOULDBLOCK ? EBUSY : errno;
        else if (ioctl(fd, TIOCEXCL) != 0) error = errno;
        int stopFd = error ? -1 : eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        int wakeFd = stopFd < 0 ? -1 : eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (!error && wakeFd < 0) error = errno;
        if (error) {
            if (stopFd >= 0) ::close(stopFd);
            ::close(fd);
            return error;
        }
        int bits = 0;
        linesSupported_ = ioctl(fd, TIOCMGET, &bits) == 0;
        lastStatus_ = linesSupported_ ? statusOf(bits) : 0;
        serial_icounter_struct counts{};
        if (ioctl(fd, TIOCGICOUNT, &counts) != 0) counts = {};
        {
            std::lock_guard<std::mutex> g(countsLock_);
            seen_ = taken_ = counts;
        }
        stopFd_ = stopFd;
        wakeFd_ = wakeFd;
        fd_ = fd;
        return 0;
    }

    void close() override {
        int fd = fd_.exchange(-1);
        if (fd >= 0) {
            ioctl(fd, TIOCNXCL);   // the flag would outlive us on a tty that stays open elsewhere
            ::close(fd);
        }
        for (auto* e : {&stopFd_, &wakeFd_}) {
            int efd = e->exchange(-1);
            if (efd >= 0) ::close(efd);
        }
    }

    bool isOpen() const override { return fd_ >= 0; }
    int handle() const override { return fd_; }

    int getLine(PlatSerialLine& line) override {
        termios tio{};
        if (tcgetattr(fd_, &tio) != 0) return errno;
        line.baudRate = baudOf(cfgetospeed(&tio));
        line.byteSize = 8;
        for (size_t k = 0; k < std::size(kSizes); ++k)
            if ((tio.c_cflag & CSIZE) == kSizes[k]) line.byteSize = static_cast<uint8_t>(5 + k);
        line.parity = !(tio.c_cflag & PARENB) ? PlatParity::None
                      : (tio.c_cflag & PARODD) ? PlatParity::Odd
                                               : PlatParity::Even;
        line.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
        line.flow = (tio.c_cflag & CRTSCTS) ? PlatFlow::Hardware
                    : (tio.c_iflag & IXON)  ? PlatFlow::Software
                                            : PlatFlow::None;
        return 0;
    }

    int setLine(const PlatSerialLine& line) override {
        speed_t speed;
        if (!speedOf(line.baudRate, speed) || line.byteSize < 5 || line.byteSize > 8 ||
            (line.stopBits != 1 && line.stopBits != 2))
            return EINVAL;
        termios tio{};
        if (tcgetattr(fd_, &tio) != 0) return errno;
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        tio.c_cflag |= kSizes[line.byteSize - 5];
        if (line.parity != PlatParity::None) {
            tio.c_cflag |= PARENB | (line.parity == PlatParity::Odd ? PARODD : 0);
            tio.c_iflag |= INPCK;
        }
        if (line.stopBits == 2) tio.c_cflag |= CSTOPB;
        if (line.flow == PlatFlow::Hardware) tio.c_cflag |= CRTSCTS;
        if (line.flow == PlatFlow::Software) tio.c_iflag |= IXON | IXOFF;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return errno;
        return tcsetattr(fd_, TCSANOW, &tio) == 0 ? 0 : errno;
    }

    int setModemLines(uint32_t lines, bool on) override {
        int bits = ((lines & PLAT_LINE_DTR) ? TIOCM_DTR : 0) | ((lines & PLAT_LINE_RTS) ? TIOCM_RTS : 0);
        return ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? 0 : errno;
    }

    int modemStatus(uint32_t& status) override {
        int bits = 0;
        if (ioctl(fd_, TIOCMGET, &bits) != 0) return errno;
        status = statusOf(bits);
        return 0;
    }

    int takeLineErrors(uint32_t& errors) override {
        serial_icounter_struct now{};
        if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return errno;
        std::lock_guard<std::mutex> g(countsLock_);
        errors = errorsBetween(taken_, now);
        taken_ = now;
        return 0;
    }

    int setBreak(bool on) override { return ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0 ? 0 : errno; }

    int purge(bool input, bool output) override {
        if (!input && !output) return 0;
        int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
        return tcflush(fd_, which) == 0 ? 0 : errno;
    }

    void setEventMask(uint32_t mask) override { eventMask_ = mask; }

    PlatSerialReceive receive(uint8_t* buffer, uint32_t size, bool readData) override {
        PlatSerialReceive r;
        for (;;) {
            pollfd p[3] = {{stopFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {fd_, static_cast<short>(readData ? POLLIN : 0), 0}};
            bool sampling = linesSupported_ && (eventMask_ & kLineEvents);
            int n = ::poll(p, 3, sampling ? kLineSampleMs : -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return fail(r, PlatSerialWake::Failed, errno);
            }
            if (p[0].revents) {
                r.wake = PlatSerialWake::Stop;
                return r;
            }
            if (p[1].revents) {
                drainFd(wakeFd_);
                r.wake = PlatSerialWake::Control;
                return r;
            }
            if (p[2].revents & POLLIN) {
                ssize_t got = ::read(fd_, buffer, size);
                if (got > 0) {
                    r.wake = PlatSerialWake::Data;
                    r.length = static_cast<uint32_t>(got);
                    return r;
                }
                if (got == 0) return fail(r, PlatSerialWake::Gone, EIO);   // hung up
                if (errno == EAGAIN || errno == EINTR) continue;
                return fail(r, isGone(errno) ? PlatSerialWake::Gone : PlatSerialWake::Failed, errno);
            }
            if (p[2].revents & (POLLHUP | POLLERR | POLLNVAL)) return fail(r, PlatSerialWake::Gone, EIO);
            if (sampling && (r.events = sampleLineEvents()) != 0) {
                r.wake = PlatSerialWake::LineEvent;
                return r;
            }
        }
    }

    PlatSerialTransmit transmit(const uint8_t* data, uint32_t length) override {
        PlatSerialTransmit t;
        while (t.written < length) {
            ssize_t n = ::write(fd_, data + t.written, length - t.written);
            if (n > 0) {
                t.written += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                t.error = errno;
                t.result = isGone(errno) ? PlatSerialSent::Gone : PlatSerialSent::Failed;
                return t;
            }
            pollfd p[2] = {{stopFd_, POLLIN, 0}, {fd_, POLLOUT, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR) {
                t.error = errno;
                return t;
            }
            if (p[0].revents) {
                t.result = PlatSerialSent::Stop;
                return t;
            }
            if ((p[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p[1].revents & POLLOUT)) {
                t.error = EIO;
                t.result = PlatSerialSent::Gone;
                return t;
            }
        }
        t.result = PlatSerialSent::Done;
        return t;
    }

    PlatSerialTransmit transmitNow(const uint8_t* data, uint32_t length) override {
        PlatSerialTransmit t;
        while (t.written < length) {
            ssize_t n = ::write(fd_, data + t.written, length - t.written);
            if (n > 0) {
                t.written += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            t.error = n < 0 ? errno : EAGAIN;
            return t;
        }
        t.result = PlatSerialSent::Done;
        return t;
    }

    void wakeReceiver() override { signalFd(wakeFd_); }
    void stop() override { signalFd(stopFd_); }

private:
    static PlatSerialReceive fail(PlatSerialReceive& r, PlatSerialWake wake, int error) {
        r.wake = wake;
        r.error = error;
        return r;
    }

    static uint32_t statusOf(int bits) {
        uint32_t status = 0;
        for (const auto& b : kStatusBits)
            if (bits & b.tiocm) status |= b.status;
        return status;
    }

    static uint32_t errorsBetween(const serial_icounter_struct& a, const serial_icounter_struct& b) {
        uint32_t e = 0;
        if (b.frame != a.frame) e |= PLAT_CE_FRAME;
        if (b.overrun != a.overrun) e |= PLAT_CE_OVERRUN;
        if (b.parity != a.parity) e |= PLAT_CE_PARITY;
        if (b.brk != a.brk) e |= PLAT_CE_BREAK;
        if (b.buf_overrun != a.buf_overrun) e |= PLAT_CE_RXOVER;
        return e;
    }

    // Modem lines that changed and line counters that moved since the last look.
    uint32_t sampleLineEvents() {
        uint32_t events = 0;
        uint32_t status = 0;
        if (modemStatus(status) == 0) {
            for (const auto& b : kStatusBits)
                if ((status ^ lastStatus_) & b.status) events |= b.event;
            lastStatus_ = status;
        }
        serial_icounter_struct now{};
        if (ioctl(fd_, TIOCGICOUNT, &now) == 0) {
            std::lock_guard<std::mutex> g(countsLock_);
            uint32_t e = errorsBetween(seen_, now);
            if (e & PLAT_CE_BREAK) events |= PLAT_EV_BREAK;
            if (e & ~PLAT_CE_BREAK) events |= PLAT_EV_ERR;
            seen_ = now;
        }
        return events & eventMask_;
    }

    std::atomic<int> fd_{-1};
    std::atomic<int> stopFd_{-1};
    std::atomic<int> wakeFd_{-1};
    std::atomic<uint32_t> eventMask_{0};
    bool linesSupported_ = false;
    uint32_t lastStatus_ = 0;              // receiver thread only
    std::mutex countsLock_;
    serial_icounter_struct seen_{};        // counters when events were last reported
    serial_icounter_struct taken_{};       // counters when errors were last taken
};

} // namespace

std::unique_ptr<PlatSerialPort> platSerialPortCreate() { return std::make_unique<TtyPort>(); }

int platSerialPortPath(const std::string& name, std::string& path) {
    if (name.size() > PLAT_SERIAL_NAME_MAX) return ENAMETOOLONG;
    if (!name.empty() && name[0] == '/') {
        path = name;
        return 0;
    }
    if (name.size() < 4 || strncasecmp(name.c_str(), "COM", 3) != 0) return ENOENT;
    uint32_t number = 0;
    for (size_t k = 3; k < name.size(); ++k) {
        char c = name[k];
        if (c < '0' || c > '9' || number > 99999) return ENOENT;
        number = number * 10 + static_cast<uint32_t>(c - '0');
    }
    if (number == 0) return ENOENT;
    path = "/dev/ttyS" + std::to_string(number - 1);
    return 0;
}

bool platSerialUnsupported(int error) { return error == ENOTTY || error == EINVAL; }
bool platSerialInUse(int error) { return error == EBUSY; }
