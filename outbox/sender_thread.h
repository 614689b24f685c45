#pragma once
// The thread a forwarder sends from, with SIGPIPE blocked: a write to a connection the peer
// closed fails there with EPIPE instead of ending the process.
#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

template <class Run>
std::thread StartSender(Run run) {
    return std::thread([run = std::move(run)]() mutable {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        run();
    });
}
