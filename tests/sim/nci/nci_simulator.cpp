#include "nci/nci_simulator.h"

#include <cerrno>
#include <chrono>
#include <future>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace ncisim {

NciSimulator::NciSimulator(NciIdentity identity)
    : controller_(std::move(identity), recorder_,
                  {[this](const std::vector<uint8_t>& bytes) { return pty_.write(bytes); },
                   [this] { pty_.hangUp(); }}) {
    installCore(controller_);
    rf_.install();
    nfcees_.install();
    hci_.install();
    if (!pty_.ok()) return;
    keeper_ = ::open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (keeper_ < 0 || wake_ < 0) return;
    running_ = true;
    thread_ = std::thread(&NciSimulator::run, this);
}

NciSimulator::~NciSimulator() {
    stop();
    if (keeper_ >= 0) ::close(keeper_);
    if (wake_ >= 0) ::close(wake_);
}

void NciSimulator::stop() {
    running_ = false;
    stopping_ = true;
    if (wake_ >= 0) {
        uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
}

bool NciSimulator::call(const std::function<void(Controller&)>& fn) {
    if (std::this_thread::get_id() == thread_.get_id()) {
        fn(controller_);
        return true;
    }
    if (!running_) return false;
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    {
        std::lock_guard<std::mutex> g(tasksLock_);
        tasks_.push_back([this, fn, done] {
            fn(controller_);
            done->set_value();
        });
    }
    uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    return future.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

void NciSimulator::setFault(uint16_t key, Fault fault) {
    call([&](Controller& c) { c.setFault(key, fault); });
}
void NciSimulator::setSilent(bool silent) {
    call([&](Controller& c) { c.setSilent(silent); });
}
void NciSimulator::onCommand(uint16_t opcode, MessageHandler handler) {
    call([&](Controller& c) { c.onCommand(opcode, handler); });
}
void NciSimulator::send(NciMessage message) {
    call([&](Controller& c) { c.send(message); });
}
void NciSimulator::sendRaw(std::vector<uint8_t> bytes) {
    call([&](Controller& c) { c.sendRaw(bytes); });
}
void NciSimulator::hangUp() {
    call([](Controller& c) { c.hangUp(); });
}

void NciSimulator::runTasks() {
    uint64_t count;
    (void)!::read(wake_, &count, sizeof count);
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> g(tasksLock_);
        tasks.swap(tasks_);
    }
    for (auto& t : tasks) t();
}

void NciSimulator::run() {
    using Clock = Controller::Clock;
    uint8_t buffer[1024];
    bool lineOpen = true;   // false once the master reports an error (for example after a hang-up)
    while (!stopping_) {
        int timeout = -1;
        if (auto due = controller_.nextDue()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*due - Clock::now()).count();
            timeout = left < 0 ? 0 : static_cast<int>(left) + 1;
        }
        lineOpen = lineOpen && pty_.masterFd() >= 0;
        pollfd fds[2] = {{wake_, POLLIN, 0}, {pty_.masterFd(), POLLIN, 0}};
        int n = ::poll(fds, lineOpen ? 2 : 1, timeout);
        if (n < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) runTasks();
        if (lineOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t got = ::read(pty_.masterFd(), buffer, sizeof buffer);
            if (got > 0) controller_.receiveBytes(buffer, static_cast<size_t>(got));
            else if (got == 0 || errno != EAGAIN) lineOpen = false;
        }
        controller_.flushDue();
    }
    runTasks();   // a call carried in while stopping still completes
}

} // namespace ncisim
