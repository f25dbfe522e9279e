// Group commit: callers hand in a request each; whichever finds no commit
// under way runs one for all that are waiting then, and each gets its own
// result (or the commit's error) once that commit is done. One transaction
// and one forced write serve them all.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <vector>

namespace zelvoqueue {

template <typename Request, typename Result>
class GroupCommit {
  public:
    // `commitAll(requests)` returns one result per request, in order, or
    // throws: then every request of that commit gets the exception.
    template <typename F>
    Result run(Request request, F&& commitAll) {
        Pending mine{std::move(request), {}, nullptr, false};
        std::unique_lock<std::mutex> lock(mu_);
        waiting_.push_back(&mine);
        while (!mine.finished) {
            if (leading_) {
                done_.wait(lock);
                continue;
            }
            leading_ = true;
            std::vector<Pending*> batch;
            batch.swap(waiting_);
            lock.unlock();
            std::vector<Request> requests;
            for (const Pending* p : batch) requests.push_back(p->request);
            try {
                std::vector<Result> results = commitAll(requests);
                for (std::size_t i = 0; i < batch.size(); ++i)
                    batch[i]->result = std::move(results.at(i));
            } catch (...) {
                for (Pending* p : batch) p->error = std::current_exception();
            }
            lock.lock();
            for (Pending* p : batch) p->finished = true;
            leading_ = false;
            done_.notify_all();
        }
        if (mine.error) std::rethrow_exception(mine.error);
        return std::move(mine.result);
    }

  private:
    struct Pending {
        Request request;
        Result result;
        std::exception_ptr error;
        bool finished;
    };

    std::mutex mu_;
    std::condition_variable done_;
    std::vector<Pending*> waiting_;
    bool leading_ = false;
};

}  // namespace zelvoqueue
