#include "exr_io/exr_threads.h"
#include "runtime/sanitizer_build.h"

#include <IlmThreadPool.h>

#include <new>
#if defined(PICTOR_THREAD_SANITIZED)
#include <mutex>
#endif

namespace {

ExrTaskSubmit task_submit;
void *task_runner;
int task_threads;

#if defined(PICTOR_THREAD_SANITIZED)
// The library counts its finished tasks with atomics of its own, which ThreadSanitizer can't
// see, as the library is not built with it; only the last task's wake-up of the waiting caller
// is a call it sees. Tasks that end one after another through this lock make every task's work
// part of what the last one hands over. Only in that build.
std::mutex tasks_ending;
#endif

// Runs one of the library's tasks and tells its group, as the library's own threads do: the
// group's owner waits for every task it gave out.
void run_library_task(void *argument)
{
    IlmThread::Task *task = (IlmThread::Task *)argument;
    task->execute();
    IlmThread::TaskGroup *group = task->group();
    delete task;
#if defined(PICTOR_THREAD_SANITIZED)
    std::lock_guard<std::mutex> ending(tasks_ending);
#endif
    group->finishOneTask();
}

// The library's view of the runner: the one class of ours that derives from another, as the
// library's interface for threads asks. The library owns it and may delete it at its end; it
// holds nothing of its own.
class RunnerProvider : public IlmThread::ThreadPoolProvider {
  public:
    int numThreads() const override { return task_threads; }
    void setNumThreads(int) override {}
    void addTask(IlmThread::Task *task) override
    {
        if (task_threads > 0)
            task_submit(task_runner, run_library_task, task);
        else
            run_library_task(task);
    }
    void finish() override {}
};

bool provider_installed;

}  // namespace

void exr_use_threads(ExrTaskSubmit submit, void *runner, int threads)
{
    task_submit = submit;
    task_runner = runner;
    task_threads = submit && runner ? threads : 0;
    if (!provider_installed && task_threads > 0) {
        RunnerProvider *provider = new (std::nothrow) RunnerProvider;
        if (!provider) {
            task_threads = 0;  // the library works on the calling thread, as without a runner
            return;
        }
        IlmThread::ThreadPool::globalThreadPool().setThreadProvider(provider);
        provider_installed = true;
    }
}
