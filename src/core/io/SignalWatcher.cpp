#include "io/SignalWatcher.h"

#include <csignal>

#include <sys/signalfd.h>
#include <unistd.h>

namespace corvane {
namespace {

sigset_t setOf(std::initializer_list<int> watched)
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : watched)
        sigaddset(&set, signal);
    return set;
}

} // namespace

void SignalWatcher::block(std::initializer_list<int> watched)
{
    const sigset_t set = setOf(watched);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatcher::SignalWatcher(std::initializer_list<int> watched, std::function<void(int)> handler, QObject* parent)
    : QObject(parent)
{
    const sigset_t set = setOf(watched);
    m_fd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (m_fd < 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this, handler = std::move(handler)] {
        signalfd_siginfo info;
        while (::read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            handler(static_cast<int>(info.ssi_signo));
    });
}

SignalWatcher::~SignalWatcher()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace corvane
