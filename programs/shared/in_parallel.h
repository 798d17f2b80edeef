// Work started on a thread of its own where one can be had, and done here,
// when asked for, where the system has none to give (a tight memory limit).
#pragma once

#include <future>
#include <system_error>
#include <utility>

template <typename Work>
auto start_work(Work work) -> std::future<decltype(work())> {
    try {
        return std::async(std::launch::async, work);
    } catch (const std::system_error &) {
        return std::async(std::launch::deferred, std::move(work));
    }
}
