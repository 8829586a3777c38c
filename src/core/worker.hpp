// A thread of its own that runs the jobs handed to it one after another: the file operations
// read ahead and write behind with it while the calling thread works on what it has.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace plexo {

class Worker {
 public:
  // nullptr when no thread can be had (the caller does the work itself).
  static std::unique_ptr<Worker> start() {
    try {
      return std::unique_ptr<Worker>(new Worker());
    } catch (const std::system_error&) {
      return nullptr;
    }
  }
  // Runs what was handed over, then ends the thread.
  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Runs `job` after those handed over before it; the ticket that wait() takes.
  std::uint64_t submit(std::function<void()> job) {
    std::uint64_t ticket;
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
      ticket = ++submitted_;
    }
    changed_.notify_all();
    return ticket;
  }
  // Until the job of `ticket` and every one before it has run (ticket 0: none).
  void wait(std::uint64_t ticket) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done_ >= ticket; });
  }
  void wait_all() { wait(submitted()); }
  std::uint64_t submitted() {
    std::lock_guard lock(mutex_);
    return submitted_;
  }

 private:
  Worker() : thread_([this] { run(); }) {}

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
      ++done_;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> jobs_;
  std::uint64_t submitted_ = 0, done_ = 0;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the rest is in place
};

}  // namespace plexo
