// The only file that speaks termios.
#include "runtime/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "runtime/falling_rate.h"

namespace {

speed_t SpeedOf(int baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

}  // namespace

bool MakeRawTerminal(int fd, int baud) {
    const speed_t speed = SpeedOf(baud);
    termios tio{};
    if (speed == B0 || tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

SerialPort::SerialPort(Options options) : options_(std::move(options)) {}

SerialPort::~SerialPort() {
    Close();
}

bool SerialPort::OpenFailed(int fd, Clock::time_point now, std::string why, bool inUse) {
    if (fd >= 0) ::close(fd);
    openError_ = options_.path + ": " + why;
    inUse_ = inUse;
    nextReopen_ =
        now + FallingRate{options_.reopenFirst, options_.reopenMax}.Wait(++reopenFailures_);
    return false;
}

bool SerialPort::Open(Clock::time_point now) {
    if (fd_ >= 0) return true;
    // Checked before opening: opening a FIFO or a file in the port's place would block or
    // read junk.
    struct stat st {};
    if (::stat(options_.path.c_str(), &st) != 0) return OpenFailed(-1, now, std::strerror(errno));
    if (!S_ISCHR(st.st_mode)) return OpenFailed(-1, now, "not a character device");
    const int fd = ::open(options_.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return OpenFailed(fd, now,
                          errno == EBUSY ? "line in use (opened exclusively by another process)"
                                         : std::strerror(errno),
                          errno == EBUSY);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return OpenFailed(fd, now,
                          errno == EWOULDBLOCK ? "line in use (locked by another process)"
                                               : std::string("flock: ") + std::strerror(errno),
                          errno == EWOULDBLOCK);
    if (!MakeRawTerminal(fd, options_.baud))
        return OpenFailed(fd, now, "not a terminal, or the speed is not supported");
    // No other open of the line while we hold it (the lock above binds only those who ask).
    (void)::ioctl(fd, TIOCEXCL);
    // Bytes left from before the (re)open belong to nobody.
    tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    outLen_ = 0;
    reopenFailures_ = 0;
    openError_.clear();
    inUse_ = false;
    ++opens_;
    return true;
}

void SerialPort::Close() {
    if (fd_ >= 0) {
        // The exclusive flag lives on the terminal, which may outlive our descriptor.
        (void)::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
    fd_ = -1;
    outLen_ = 0;
}

void SerialPort::Fail(Clock::time_point now) {
    Close();
    ++failures_;
    nextReopen_ =
        now + FallingRate{options_.reopenFirst, options_.reopenMax}.Wait(++reopenFailures_);
}

bool SerialPort::ReopenIfDue(Clock::time_point now) {
    if (fd_ >= 0) return true;
    if (now < nextReopen_) return false;
    return Open(now);
}

bool SerialPort::Write(const uint8_t* data, std::size_t len) {
    if (fd_ < 0 || len > sizeof out_ - outLen_) return false;
    std::memcpy(out_ + outLen_, data, len);
    outLen_ += len;
    return Flush();
}

bool SerialPort::Flush() {
    while (fd_ >= 0 && outLen_ > 0) {
        const ssize_t n = ::write(fd_, out_, outLen_);
        if (n > 0) {
            std::memmove(out_, out_ + n, outLen_ - static_cast<std::size_t>(n));
            outLen_ -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        Fail(Clock::now());
        return false;
    }
    return fd_ >= 0;
}

ssize_t SerialPort::Read(uint8_t* buf, std::size_t cap) {
    if (fd_ < 0) return -1;
    for (;;) {
        const ssize_t n = ::read(fd_, buf, cap);
        if (n > 0) return n;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        // 0 from a terminal in raw non-blocking mode means no data; a vanished line gives
        // EIO or ENXIO (or a hang-up seen by poll).
        if (n == 0) return 0;
        Fail(Clock::now());
        return -1;
    }
}

bool SerialPort::CheckEvents(short revents) {
    // The caller has read what was there first, so a hang-up with data loses nothing.
    if (fd_ >= 0 && (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        Fail(Clock::now());
    }
    return fd_ >= 0;
}
