#include "common/Runner.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tonwell::tools {
namespace {

class Printer {
public:
    explicit Printer(size_t count) : m_results(count), m_progress(count > 0 && isatty(STDERR_FILENO)) {}

    void Complete(size_t index, Outcome outcome)
    {
        std::lock_guard lock(m_mutex);
        m_results[index] = std::move(outcome);
        ++m_done;
        ClearBar();
        while (m_next < m_results.size() && m_results[m_next]) {
            Outcome& o = *m_results[m_next];
            if (!o.out.empty()) {
                std::fprintf(stdout, "%s\n", o.out.c_str());
                std::fflush(stdout);
            }
            if (!o.err.empty())
                std::fprintf(stderr, "%s\n", o.err.c_str());
            if (!o.ok)
                ++m_failed;
            o.out = std::string(); // release the text early
            o.err = std::string();
            ++m_next;
        }
        DrawBar();
    }

    void Finish()
    {
        std::lock_guard lock(m_mutex);
        ClearBar();
    }

    size_t Failed() const { return m_failed; }

private:
    void ClearBar()
    {
        if (m_progress && m_barShown) {
            std::fputs("\r\033[K", stderr);
            m_barShown = false;
        }
    }

    void DrawBar()
    {
        if (!m_progress || m_done == m_results.size())
            return;
        constexpr size_t kWidth = 30;
        const size_t filled = m_done * kWidth / m_results.size();
        std::string bar(filled, '#');
        bar.append(kWidth - filled, '.');
        std::fprintf(stderr, "\r[%s] %zu/%zu", bar.c_str(), m_done, m_results.size());
        std::fflush(stderr);
        m_barShown = true;
    }

    std::mutex m_mutex;
    std::vector<std::optional<Outcome>> m_results;
    size_t m_next = 0;
    size_t m_done = 0;
    size_t m_failed = 0;
    bool m_progress;
    bool m_barShown = false;
};

Outcome Guarded(const Work& work, size_t index)
{
    try {
        return work(index);
    } catch (const std::bad_alloc&) {
        return Outcome{false, {}, "out of memory"};
    } catch (const std::exception& e) {
        return Outcome{false, {}, std::string("internal error: ") + e.what()};
    }
}

} // namespace

size_t RunOnWorkers(size_t count, DWORD jobs, const WorkerFactory& makeWorker)
{
    Printer printer(count);
    std::atomic<size_t> next{0};
    const auto worker = [&] {
        Work work;
        std::string setupError;
        try {
            work = makeWorker();
        } catch (const std::exception& e) {
            setupError = e.what();
        }
        for (size_t i; (i = next.fetch_add(1)) < count;) {
            if (!work)
                printer.Complete(i, Outcome{false, {}, setupError});
            else
                printer.Complete(i, Guarded(work, i));
        }
    };

    size_t threads = jobs ? jobs : 1;
    if (threads > count)
        threads = count;
    if (threads <= 1) {
        worker();
    } else {
        std::vector<std::thread> pool;
        pool.reserve(threads);
        for (size_t t = 0; t < threads; ++t)
            pool.emplace_back(worker);
        for (auto& thread : pool)
            thread.join();
    }
    printer.Finish();
    return printer.Failed();
}

} // namespace tonwell::tools
