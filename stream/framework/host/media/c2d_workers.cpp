#include "c2d_workers.h"

#include <sys/prctl.h>

namespace morwick {

C2DWorkers::C2DWorkers(unsigned threads) {
    for (unsigned i = 1; i < threads; ++i) m_threads.emplace_back([this] { Work(); });
}

C2DWorkers::~C2DWorkers() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_ready.notify_all();
    for (auto& thread : m_threads) thread.join();
}

bool C2DWorkers::HasReady() const {
    if (!m_tasks) return false;
    for (size_t i = 0; i < m_tasks->size(); ++i)
        if (!m_started[i] && m_waiting_for[i] == 0) return true;
    return false;
}

void C2DWorkers::Drain(std::unique_lock<std::mutex>& lock) {
    while (m_tasks) {
        const std::vector<C2DLibrary::Task>* tasks = m_tasks;
        size_t index = tasks->size();
        for (size_t i = 0; i < tasks->size(); ++i) {
            if (!m_started[i] && m_waiting_for[i] == 0) {
                index = i;
                break;
            }
        }
        if (index == tasks->size()) return;
        m_started[index] = true;

        lock.unlock();
        if ((*tasks)[index].work) (*tasks)[index].work();
        lock.lock();

        bool released = false;
        for (size_t next : m_next[index]) released |= --m_waiting_for[next] == 0;
        if (released) m_ready.notify_all();
        if (++m_finished == tasks->size()) m_ready.notify_all();
    }
}

void C2DWorkers::Work() {
    prctl(PR_SET_NAME, "c2d_worker", 0, 0, 0);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_ready.wait(lock, [this] { return m_stop || HasReady(); });
        if (m_stop) return;
        Drain(lock);
    }
}

void C2DWorkers::Run(const std::vector<C2DLibrary::Task>& tasks) {
    if (tasks.empty()) return;
    std::lock_guard<std::mutex> one_at_a_time(m_run_mutex);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_waiting_for.assign(tasks.size(), 0);
    m_next.assign(tasks.size(), {});
    m_started.assign(tasks.size(), false);
    m_finished = 0;
    for (size_t i = 0; i < tasks.size(); ++i) {
        for (size_t before : tasks[i].after) {
            // Only earlier tasks can be waited for, which rules out cycles.
            if (before >= i) continue;
            ++m_waiting_for[i];
            m_next[before].push_back(i);
        }
    }
    m_tasks = &tasks;
    m_ready.notify_all();
    // The caller works too, and waits only while its tasks' inputs are being made.
    for (;;) {
        Drain(lock);
        if (m_finished == tasks.size()) break;
        m_ready.wait(lock, [&] { return m_finished == tasks.size() || HasReady(); });
    }
    m_tasks = nullptr;
}

}  // namespace morwick
