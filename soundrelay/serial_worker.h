// One thread that runs submitted tasks one after another, in order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace recorder {

class SerialWorker {
public:
    SerialWorker();
    // Runs what is still queued, then joins the thread.
    ~SerialWorker();

    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void submit(std::function<void()> task);

private:
    void loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;  // guarded by mutex_
    bool closing_ = false;                     // guarded by mutex_
    std::thread thread_;
};

}  // namespace recorder
