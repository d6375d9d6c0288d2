// The registration of each loop's inbox with the loop (loop.add_reader), and the registry of loops.
#include "bridge/loop_inbox.hpp"

#include <cerrno>
#include <cstring>
#include <cstdint>
#include <unordered_map>

#include "bridge/interpreter_lock.hpp"
#include "bridge/pending_call.hpp"
#include "runtime/after_fork.hpp"
#include "runtime/link.hpp"

namespace tarnel::bridge {

namespace {

// The objects given to loop.add_reader, one per watched descriptor. The inbox's reader drains the inbox;
// the link's reader runs the link's ready work on the loop's thread, then drains the inbox, which that work
// may just have filled. Dropping them (the loop's selector lets go of them when the loop closes or is
// collected) ends the registration.
//
// The inbox's reader is what the cyclic garbage collector sees of the loop's calls in flight: it reports
// their references, and it holds a weak reference to the loop whose callback abandons them when the loop
// is collected (a closed loop keeps the old road instead: its reader goes first, and with it the weak
// reference).
struct ReaderObject {
    PyObject_HEAD
    std::shared_ptr<LoopInbox>* inbox;
    PyObject* loop;  // borrowed: the registry's key, never dereferenced
    py::object* loop_collected;  // the inbox's reader: the weak reference to the loop
    bool watches_link;
    bool counted;         // counted among the loops watching the link (see loop_started_watching_link)
    unsigned generation;  // of the process that registered it (a forked child does not count it)
};

py::Result<void> watch_link(PyObject* loop, const std::shared_ptr<LoopInbox>& inbox);

// The inbox whose loop is running the link on this thread: outcomes for it need not write its eventfd,
// the loop drains it as soon as the link's work is done.
thread_local LoopInbox* t_draining_after_link = nullptr;

// Loop -> inbox, for loops whose registration is live. Touched only with the interpreter lock held. The
// key is the loop's address, which is not kept alive by the registry: the entry goes when the reader
// object goes, which is no later than the loop itself.
using Registry = std::unordered_map<PyObject*, std::weak_ptr<LoopInbox>>;
Registry* g_registry = new Registry();

// The last loop asked for, and its inbox: nearly every call comes from the loop the previous one came from.
PyObject* g_last_loop = nullptr;
std::weak_ptr<LoopInbox>* g_last_inbox = new std::weak_ptr<LoopInbox>();

// A forked child starts without registrations: the parent's inboxes may have been locked by its workers.
[[maybe_unused]] const bool g_forget_after_fork = [] {
    runtime::after_fork_in_child([] {
        g_registry = new Registry();
        g_last_loop = nullptr;
        g_last_inbox = new std::weak_ptr<LoopInbox>();
    });
    return true;
}();

// A large message is on its way: the loop stops watching the link, whose own thread moves it, until the
// next time the loop finds no large message in progress.
py::Result<void> suspend_link_watch(ReaderObject& reader, LoopInbox& inbox) {
    py::object fd_number = py::object::steal(PyLong_FromLong(runtime::link_readiness_fd()));
    if (!fd_number) return py::fetched();
    auto removed = py::checked(PyObject_CallMethod(reader.loop, "remove_reader", "O", fd_number.ptr()));
    if (!removed) return py::fail(std::move(removed.error()));
    inbox.link_watch_suspended = true;
    reader.counted = false;
    runtime::loop_stopped_watching_link(/*for_a_large_transfer=*/true);
    return {};
}

PyObject* reader_call(PyObject* self, PyObject*, PyObject*) {
    auto* reader = reinterpret_cast<ReaderObject*>(self);
    const std::shared_ptr<LoopInbox>& shared_inbox = *reader->inbox;
    LoopInbox& inbox = *shared_inbox;
    bool finished = true;
    if (reader->watches_link && !inbox.link_watch_suspended) {
        RunningLinkWithLock running_link;
        t_draining_after_link = &inbox;
        finished = runtime::run_ready_link_work(/*yield_to_large_transfers=*/true);
        t_draining_after_link = nullptr;
    }
    // After running the link, what it finished was queued without the eventfd: it need not be reset.
    inbox.drain(/*reset=*/!reader->watches_link);
    if (PyErr_Occurred()) return nullptr;
    if (!finished) {
        if (auto suspended = suspend_link_watch(*reader, inbox); !suspended) {
            std::move(suspended.error()).restore();
            return nullptr;
        }
    } else if (inbox.link_watch_suspended && !runtime::large_transfer_in_progress()) {
        if (auto resumed = watch_link(reader->loop, shared_inbox); !resumed) {
            std::move(resumed.error()).restore();
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// The link's reader went: what the link has ready now (an answer that came while the loop was stopped) is
// finished here, while the loop's outcomes can still be handed over (or reported) as the loop goes.
void link_reader_gone(ReaderObject& reader) {
    if (!reader.counted || reader.generation != runtime::process_generation()) return;
    py::KeptErrorState kept;
    {
        RunningLinkWithLock running_link;
        runtime::run_ready_link_work();
    }
    runtime::loop_stopped_watching_link();
}

// The inbox's reader went: the loop's registration ends, and the calls left in the inbox are completed the
// other way.
void inbox_reader_gone(ReaderObject& reader) {
    if (auto found = g_registry->find(reader.loop); found != g_registry->end()) {
        auto registered = found->second.lock();
        if (!registered || registered == *reader.inbox) g_registry->erase(found);
    }
    LoopInbox& inbox = **reader.inbox;
    if (inbox.link_watch_suspended && reader.generation == runtime::process_generation()) {
        inbox.link_watch_suspended = false;  // a loop that is gone no longer counts as stepped back
        runtime::loop_came_back_to_link();
    }
    py::KeptErrorState kept;
    inbox.close();
}

void reader_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* reader = reinterpret_cast<ReaderObject*>(self);
    delete reader->loop_collected;  // a loop that goes after its reader was closed first: nothing to abandon
    if (reader->watches_link) {
        link_reader_gone(*reader);
    } else {
        inbox_reader_gone(*reader);
    }
    delete reader->inbox;
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* reader = reinterpret_cast<ReaderObject*>(self);
    if (reader->watches_link || reader->inbox == nullptr) return 0;
    return (*reader->inbox)->visit_calls(visit, arg);
}

// The collector found the loop's registration unreachable: the loop is garbage.
int reader_clear(PyObject* self) {
    auto* reader = reinterpret_cast<ReaderObject*>(self);
    if (!reader->watches_link && reader->inbox != nullptr) (*reader->inbox)->abandon();
    return 0;
}

PyType_Slot g_reader_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(reader_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {0, nullptr},
};

PyType_Spec g_reader_spec = {"py_engine_tarnel.LoopInboxReader", sizeof(ReaderObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, g_reader_slots};

// The callback of the weak reference to the loop: the loop is being collected (the collector clears weak
// references before it runs the loop's finaliser, which closes it), so its calls are abandoned rather than
// reported as the calls of a closed loop.
PyObject* loop_collected(PyObject* capsule, PyObject*) {
    auto* inbox = static_cast<std::weak_ptr<LoopInbox>*>(PyCapsule_GetPointer(capsule, nullptr));
    if (inbox == nullptr) return nullptr;
    if (auto alive = inbox->lock()) alive->abandon();
    Py_RETURN_NONE;
}

PyMethodDef g_loop_collected_def = {"loop_collected", loop_collected, METH_O, nullptr};

py::Result<py::object> watch_for_collection(PyObject* loop, const std::shared_ptr<LoopInbox>& inbox) {
    py::object capsule = py::object::steal(PyCapsule_New(new std::weak_ptr<LoopInbox>(inbox), nullptr, [](PyObject* c) {
        delete static_cast<std::weak_ptr<LoopInbox>*>(PyCapsule_GetPointer(c, nullptr));
    }));
    if (!capsule) return py::fetched();
    py::object callback = py::object::steal(PyCFunction_New(&g_loop_collected_def, capsule.ptr()));
    if (!callback) return py::fetched();
    return py::checked(PyWeakref_NewRef(loop, callback.ptr()));
}
PyObject* g_reader_type = nullptr;

py::Result<py::object> make_reader(std::shared_ptr<LoopInbox> inbox, PyObject* loop, bool watches_link) {
    if (g_reader_type == nullptr) {
        g_reader_type = PyType_FromSpec(&g_reader_spec);
        if (g_reader_type == nullptr) return py::fetched();
    }
    auto* type = reinterpret_cast<PyTypeObject*>(g_reader_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    py::object collected;
    if (!watches_link) {
        auto watch = watch_for_collection(loop, inbox);
        if (!watch) return py::fail(std::move(watch.error()));
        collected = std::move(*watch);
    }
    py::object reader = py::object::steal(alloc(type, 0));
    if (!reader) return py::fetched();
    auto* fields = reinterpret_cast<ReaderObject*>(reader.ptr());
    fields->loop_collected = watches_link ? nullptr : new py::object(std::move(collected));
    fields->inbox = new std::shared_ptr<LoopInbox>(std::move(inbox));
    fields->loop = loop;
    fields->watches_link = watches_link;
    fields->counted = false;
    fields->generation = runtime::process_generation();
    return reader;
}

// The loop runs its readers in the context current at registration: a new, empty one, so that no caller's
// context variables are seen while futures are completed.
py::Result<void> add_reader(PyObject* loop, int descriptor, const std::shared_ptr<LoopInbox>& inbox,
                            bool watches_link) {
    py::object contextvars = py::object::steal(PyImport_ImportModule("contextvars"));
    if (!contextvars) return py::fetched();
    py::object context = py::object::steal(PyObject_CallMethod(contextvars.ptr(), "Context", nullptr));
    if (!context) return py::fetched();
    py::object add = py::object::steal(PyObject_GetAttrString(loop, "add_reader"));
    if (!add) return py::fetched();
    auto reader = make_reader(inbox, loop, watches_link);
    if (!reader) return py::fail(std::move(reader.error()));
    if (watches_link) {
        // Counted from here: the reader's deallocation, on failure too, uncounts it.
        reinterpret_cast<ReaderObject*>(reader->ptr())->counted = true;
        runtime::loop_started_watching_link();
    }
    py::object fd_number = py::object::steal(PyLong_FromLong(descriptor));
    if (!fd_number) return py::fetched();
    auto added = py::checked(PyObject_CallMethod(context.ptr(), "run", "OOO", add.ptr(), fd_number.ptr(), reader->ptr()));
    if (!added) return py::fail(std::move(added.error()));
    return {};
}

py::Result<void> watch_link(PyObject* loop, const std::shared_ptr<LoopInbox>& inbox) {
    auto added = add_reader(loop, runtime::link_readiness_fd(), inbox, /*watches_link=*/true);
    if (added && inbox->link_watch_suspended) {
        inbox->link_watch_suspended = false;
        runtime::loop_came_back_to_link();
    }
    return added;
}

}  // namespace

void LoopInbox::track(PendingCall& call) {
    std::lock_guard hold(calls_mutex_);
    if (call.tracked) return;
    call.previous = nullptr;
    call.next = first_call_;
    if (first_call_ != nullptr) first_call_->previous = &call;
    first_call_ = &call;
    call.tracked = true;
}

void LoopInbox::untrack(PendingCall& call) {
    std::lock_guard hold(calls_mutex_);
    if (!call.tracked) return;
    if (call.previous != nullptr) call.previous->next = call.next;
    if (call.next != nullptr) call.next->previous = call.previous;
    if (first_call_ == &call) first_call_ = call.next;
    call.previous = call.next = nullptr;
    call.tracked = false;
}

int LoopInbox::visit_calls(visitproc visit, void* arg) {
    if (generation_ != runtime::process_generation()) return 0;  // the parent's: its lock may be held for ever
    std::lock_guard hold(calls_mutex_);
    for (PendingCall* call = first_call_; call != nullptr; call = call->next) {
        Py_VISIT(call->loop.ptr());
        Py_VISIT(call->future.ptr());
    }
    return 0;
}

void LoopInbox::abandon() {
    if (generation_ != runtime::process_generation()) return;
    py::KeptErrorState kept;
    // Outcomes already here: nobody will ever read them.
    for (Delivery& delivery : queue_->close()) delivery.call->release_held();
    // Calls still in flight: cancelled from here without running the link (this may be the collector at
    // work), and their references dropped. The list is emptied first, the references dropped after, since
    // dropping them may run any code.
    std::vector<std::shared_ptr<CancelRelay>> relays;
    std::vector<py::object> references;
    {
        std::lock_guard hold(calls_mutex_);
        while (PendingCall* call = first_call_) {
            first_call_ = call->next;
            call->previous = call->next = nullptr;
            call->tracked = false;
            if (call->relay) relays.push_back(call->relay);
            references.push_back(std::move(call->loop));
            references.push_back(std::move(call->future));
            call->build = nullptr;
        }
    }
    for (auto& relay : relays) relay->request(/*run_link_here=*/false);
    references.clear();
}

bool LoopInbox::post(Delivery&& delivery) {
    return queue_->push(std::move(delivery), /*signal=*/t_draining_after_link != this);
}

py::Result<std::shared_ptr<LoopInbox>> inbox_for(py::handle loop, LoopInbox::Deliver on_loop,
                                                 LoopInbox::Deliver after_close) {
    auto watching = [&](std::shared_ptr<LoopInbox> inbox) -> py::Result<std::shared_ptr<LoopInbox>> {
        if (inbox->link_watch_suspended && !runtime::large_transfer_in_progress()) {
            if (auto resumed = watch_link(loop.ptr(), inbox); !resumed) return py::fail(std::move(resumed.error()));
        }
        return inbox;
    };
    if (loop.ptr() == g_last_loop) {
        if (auto inbox = g_last_inbox->lock(); inbox && !inbox->closed()) return watching(std::move(inbox));
    }
    if (auto found = g_registry->find(loop.ptr()); found != g_registry->end()) {
        if (auto inbox = found->second.lock(); inbox && !inbox->closed()) {
            g_last_loop = loop.ptr();
            *g_last_inbox = inbox;
            return watching(std::move(inbox));
        }
        g_registry->erase(found);
    }
    auto queue = runtime::EventfdQueue<LoopInbox::Delivery>::create();
    if (!queue) return py::fail(py::Error::make(PyExc_OSError, "eventfd failed: " + std::string(strerror(errno))));
    const int fd = queue->fd();
    auto inbox = std::make_shared<LoopInbox>(std::move(queue), on_loop, after_close);
    auto inbox_watched = add_reader(loop.ptr(), fd, inbox, /*watches_link=*/false);
    if (!inbox_watched) return py::fail(std::move(inbox_watched.error()));
    auto link_watched = watch_link(loop.ptr(), inbox);
    if (!link_watched) return py::fail(std::move(link_watched.error()));
    (*g_registry)[loop.ptr()] = inbox;
    g_last_loop = loop.ptr();
    *g_last_inbox = inbox;
    return inbox;
}

}  // namespace tarnel::bridge
