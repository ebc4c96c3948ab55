// Coroutine steps: the four TaskStep records, their runs, and Runtime._spawn_coro.
//
// A step resumes its coroutine once and then looks at what it did: it finished, it failed (a line
// on descriptor 2 and the traceback), it yielded None (queued again at the back of the shared
// queue), or it yielded something to be registered as a wait.  The kinds with and without a
// context are separate records, so a runtime without contexts never touches context objects.
#include "events/task_step.hpp"

#include "common/args.hpp"
#include "events/waiter.hpp"
#include "runtime/methods.hpp"
#include "runtime/record.hpp"
#include "work/push.hpp"
#include "work/worker_context.hpp"

#include <atomic>
#include <cerrno>
#include <string>
#include <unistd.h>

namespace quorlin {

namespace {

struct NoContext {};

// The fields every step kind has.  `Context` is py::Ref or NoContext.
template <class Context>
struct StepBase : WorkItem {
    py::Ref coroutine;
    [[no_unique_address]] Context context;
    py::Ref payload;  // the value to send, or the exception instance to throw
    std::shared_ptr<TaskControl> control;

    Task take_task() noexcept {
        Task task{std::move(coroutine), {}, std::move(control)};
        if constexpr (!std::is_same_v<Context, NoContext>) task.context = std::move(context);
        return task;
    }
};

template <class Context>
struct SendStep : StepBase<Context> {};
template <class Context>
struct ThrowStep : StepBase<Context> {};

// Writes all of `text` to descriptor 2, directly: not through sys.stderr.
void write_to_stderr(const std::string& text) noexcept {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(2, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
}

void report_unhandled(const char* heading, PyObject* coroutine) noexcept {
    write_to_stderr(heading + args::repr_or_fallback(coroutine) + "\n");
}

PyObject* throw_name() noexcept {
    static std::atomic<PyObject*> name{nullptr};
    // Ordering: acquire pairs with the release below, so the string is seen complete.
    if (PyObject* cached = name.load(std::memory_order_acquire)) return cached;
    PyObject* fresh = PyUnicode_InternFromString("throw");
    if (fresh == nullptr) fatal("out of memory interning a method name");
    PyObject* expected = nullptr;
    if (!name.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        Py_DECREF(fresh);
        return expected;
    }
    return fresh;  // kept for the process
}

template <class Step>
void release_step(WorkItem* item) noexcept {
    delete static_cast<Step*>(item);
}

template <class Context>
void enter_context(const Context& context) noexcept {
    if constexpr (!std::is_same_v<Context, NoContext>) {
        if (PyContext_Enter(context.get()) < 0) PyErr_Clear();  // a failure to enter is ignored
    }
}

template <class Context>
void exit_context(const Context& context) noexcept {
    if constexpr (!std::is_same_v<Context, NoContext>) {
        if (PyContext_Exit(context.get()) < 0) PyErr_Clear();
    }
}

// What escaped a thrown-into coroutine goes through the interpreter's own handling: PyErr_PrintEx,
// which hands it to sys.excepthook, and on a SystemExit ends the process with its code (from this
// worker thread: the interpreter finalizes here, and the other threads stay where they are).
// KeyboardInterrupt alone goes to the hook directly instead, as it would from a thread of the
// threading module: PyErr_PrintEx would mark the process as ended by Ctrl-C, so that the process
// would kill itself with SIGINT when it exits, however its program ended.
void print_thrown_error(py::Ref error) noexcept {
    if (!PyErr_GivenExceptionMatches(error.get(), PyExc_KeyboardInterrupt)) {
        PyErr_SetRaisedException(error.release());
        PyErr_PrintEx(0);
        return;
    }
    PyObject* hook = PySys_GetObject("excepthook");  // borrowed
    if (hook != nullptr && hook != Py_None) {
        py::Ref traceback = py::Ref::steal(PyException_GetTraceback(error.get()));
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.get()));
        py::Ref handled = py::Ref::steal(PyObject_CallFunctionObjArgs(
            hook, type, error.get(), traceback ? traceback.get() : Py_None, nullptr));
        if (handled) return;
        PyErr_WriteUnraisable(hook);  // the hook itself failed; the error is still shown below
    }
    PyErr_DisplayException(error.get());
}

// Registers what the coroutine yielded; a refused object is thrown back into it.
void park_or_throw_back(PyObject* runtime, Task task, PyObject* yielded) noexcept {
    py::Ref refused = register_wait(runtime, task, yielded);
    if (refused) push_soon(record_of(runtime), make_throw_step(std::move(task), std::move(refused)));
}

template <class Context>
void run_send(ItemPtr owner, const WorkerContext& worker) noexcept {
    auto* step = &owner.as<SendStep<Context>>();
    PyObject* result = nullptr;
    enter_context(step->context);
    PySendResult outcome = PyIter_Send(step->coroutine.get(), step->payload.get(), &result);
    py::Ref error = outcome == PYGEN_ERROR ? py::fetch_exception() : py::Ref();
    exit_context(step->context);
    py::Ref yielded = py::Ref::steal(result);
    switch (outcome) {
    case PYGEN_ERROR:
        report_unhandled("UNHANDLED COROUTINE ERROR ", step->coroutine.get());
        PyErr_DisplayException(error.get());
        return;
    case PYGEN_RETURN:
        return;
    case PYGEN_NEXT:
        if (yielded.get() == Py_None) {
            // The same step again, sending the same value, after the work already queued.
            push_deferred(record_of(worker.runtime), std::move(owner));
            return;
        }
        park_or_throw_back(worker.runtime, step->take_task(), yielded.get());
        return;
    }
}

template <class Context>
void run_throw(ItemPtr owner, const WorkerContext& worker) noexcept {
    auto* step = &owner.as<ThrowStep<Context>>();
    // The coroutine's changes to context variables during a throw step stay in a copy.
    Context scratch{};
    if constexpr (!std::is_same_v<Context, NoContext>) {
        scratch = py::Ref::steal(PyContext_Copy(step->context.get()));
        if (!scratch) fatal("out of memory copying a context");
    }
    enter_context(scratch);
    // The leading slot lets the call prepend a bound self without copying the arguments.
    PyObject* call_args[] = {nullptr, step->coroutine.get(), step->payload.get()};
    py::Ref yielded = py::Ref::steal(
        PyObject_VectorcallMethod(throw_name(), call_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    py::Ref error = yielded ? py::Ref() : py::fetch_exception();
    exit_context(scratch);
    scratch = Context{};
    if (yielded) {
        park_or_throw_back(worker.runtime, step->take_task(), yielded.get());
        return;
    }
    if (PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), PyExc_StopIteration)) return;
    report_unhandled("UNHANDLED COROUTINE THROW ", step->coroutine.get());
    print_thrown_error(std::move(error));
}

template <class Context>
constexpr WorkItemOps send_ops{run_send<Context>, release_step<SendStep<Context>>};
template <class Context>
constexpr WorkItemOps throw_ops{run_throw<Context>, release_step<ThrowStep<Context>>};

template <template <class> class Step>
ItemPtr make_step(const WorkItemOps& with_context, const WorkItemOps& without_context, Task task,
                  py::Ref payload) noexcept {
    if (task.context) {
        auto* step = new Step<py::Ref>();
        step->ops = &with_context;
        step->coroutine = std::move(task.coroutine);
        step->context = std::move(task.context);
        step->payload = std::move(payload);
        step->control = std::move(task.control);
        return ItemPtr(step);
    }
    auto* step = new Step<NoContext>();
    step->ops = &without_context;
    step->coroutine = std::move(task.coroutine);
    step->payload = std::move(payload);
    step->control = std::move(task.control);
    return ItemPtr(step);
}

}  // namespace

ItemPtr make_send_step(Task task, py::Ref value) noexcept {
    return make_step<SendStep>(send_ops<py::Ref>, send_ops<NoContext>, std::move(task), std::move(value));
}

ItemPtr make_throw_step(Task task, py::Ref exception) noexcept {
    return make_step<ThrowStep>(throw_ops<py::Ref>, throw_ops<NoContext>, std::move(task), std::move(exception));
}

PyObject* runtime_spawn_coro(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static const args::Signature signature{"_spawn_coro", {"coro"}, 1};
    PyObject* bound[1];
    if (!args::bind(signature, args, nargsf, kwnames, bound)) return nullptr;
    RuntimeRecord& record = record_of(self);
    Task task{py::Ref::new_ref(bound[0]), {}, {}};
    if (record.context) {
        // Captured once, here, on the submitting thread.
        task.context = py::Ref::steal(PyContext_CopyCurrent());
        if (!task.context) return nullptr;
    }
    push_soon(record, make_send_step(std::move(task), py::Ref::none()));
    Py_RETURN_NONE;
}

}  // namespace quorlin
