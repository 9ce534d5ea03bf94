#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "c2d_library.h"

namespace morwick {

// The blit engine's threads: run one list of tasks at a time, each task
// once all it waits for are done, the caller taking part.
class C2DWorkers {
public:
    explicit C2DWorkers(unsigned threads);
    ~C2DWorkers();
    C2DWorkers(const C2DWorkers&) = delete;
    C2DWorkers& operator=(const C2DWorkers&) = delete;

    unsigned GetThreadCount() const { return static_cast<unsigned>(m_threads.size()) + 1; }
    void Run(const std::vector<C2DLibrary::Task>& tasks);

private:
    void Work();
    // Runs ready tasks until the list has none left to start; the lock is held on entry and exit.
    void Drain(std::unique_lock<std::mutex>& lock);
    bool HasReady() const;

    std::mutex m_mutex;
    std::condition_variable m_ready;  // a task became ready, or the list is done
    std::mutex m_run_mutex;  // one list at a time

    const std::vector<C2DLibrary::Task>* m_tasks = nullptr;
    std::vector<size_t> m_waiting_for;        // per task: unfinished tasks it waits for
    std::vector<std::vector<size_t>> m_next;  // per task: tasks waiting for it
    std::vector<bool> m_started;
    size_t m_finished = 0;
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};

}  // namespace morwick
