#pragma once
// The operator's questions when several boards run at once: each question is asked once
// for all of them, and only when every board still running has come to it, so that the
// power-cycle question is never asked while another board is being written.

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace vesk::console {

class SharedQuestions {
 public:
  explicit SharedQuestions(int participants) : participants_(participants) {}

  // Blocks until every participant has asked this question or left, then returns the one
  // answer, which the first of them to get here obtained through `ask`.
  int Ask(std::string_view question, const std::function<int()>& ask) {
    std::unique_lock lock(mutex_);
    const std::string key(question);
    ++arrived_[key];
    changed_.notify_all();
    changed_.wait(lock, [&] {
      return answers_.contains(key) || arrived_[key] + left_ >= participants_;
    });
    if (!answers_.contains(key)) {
      answers_[key] = ask();
      changed_.notify_all();
    }
    return answers_[key];
  }

  // The participant's run has ended: it asks nothing more.
  void Leave() {
    const std::lock_guard lock(mutex_);
    ++left_;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int participants_;
  int left_ = 0;
  std::map<std::string, int> arrived_;
  std::map<std::string, int> answers_;
};

}  // namespace vesk::console
