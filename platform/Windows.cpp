// Window registry: window handles are opaque ids of registered procedures.
#include "VorlanePlatform.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct Window {
    VpWindowProc procedure = nullptr;
    void* context = nullptr;
    VpMarshaller marshaller = nullptr;
    void* marshallerContext = nullptr;
    std::recursive_mutex sendLock; // serialises deliveries without a marshaller
    // Posted messages without a marshaller: one delivery thread per window.
    std::mutex queueLock;
    std::condition_variable queueReady;
    std::deque<std::tuple<unsigned, WPARAM, LPARAM>> queue;
    std::thread poster;
    bool destroyed = false;
};

std::mutex g_registryLock;
std::map<uintptr_t, std::shared_ptr<Window>> g_windows;
uintptr_t g_nextWindow = 0x1000;

std::shared_ptr<Window> findWindow(HWND handle) {
    std::lock_guard<std::mutex> lock(g_registryLock);
    auto it = g_windows.find(reinterpret_cast<uintptr_t>(handle));
    return it == g_windows.end() ? nullptr : it->second;
}

struct Delivery {
    std::shared_ptr<Window> window;
    HWND handle;
    unsigned message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
};

void deliver(void* argument) {
    auto* d = static_cast<Delivery*>(argument);
    if (d->window->procedure)
        d->result = d->window->procedure(d->handle, d->message, d->wParam, d->lParam,
                                         d->window->context);
}

void deliverPosted(void* argument) {
    std::unique_ptr<Delivery> d(static_cast<Delivery*>(argument));
    deliver(d.get());
}

void posterLoop(std::shared_ptr<Window> window, HWND handle) {
    for (;;) {
        std::tuple<unsigned, WPARAM, LPARAM> message;
        {
            std::unique_lock<std::mutex> lock(window->queueLock);
            window->queueReady.wait(lock, [&] { return window->destroyed || !window->queue.empty(); });
            if (window->queue.empty()) return;
            message = window->queue.front();
            window->queue.pop_front();
        }
        Delivery d{window, handle, std::get<0>(message), std::get<1>(message), std::get<2>(message)};
        std::lock_guard<std::recursive_mutex> lock(window->sendLock);
        deliver(&d);
    }
}

} // namespace

extern "C" {

HWND VpCreateWindow(VpWindowProc procedure, void* context) {
    auto window = std::make_shared<Window>();
    window->procedure = procedure;
    window->context = context;
    std::lock_guard<std::mutex> lock(g_registryLock);
    uintptr_t id = g_nextWindow;
    g_nextWindow += 0x10;
    g_windows[id] = window;
    return reinterpret_cast<HWND>(id);
}

void VpSetWindowMarshaller(HWND handle, VpMarshaller marshaller, void* context) {
    auto window = findWindow(handle);
    if (!window) return;
    std::lock_guard<std::recursive_mutex> lock(window->sendLock);
    window->marshaller = marshaller;
    window->marshallerContext = context;
}

void VpDestroyWindow(HWND handle) {
    std::shared_ptr<Window> window;
    {
        std::lock_guard<std::mutex> lock(g_registryLock);
        auto it = g_windows.find(reinterpret_cast<uintptr_t>(handle));
        if (it == g_windows.end()) return;
        window = it->second;
        g_windows.erase(it);
    }
    {
        std::lock_guard<std::mutex> lock(window->queueLock);
        window->destroyed = true;
        window->queue.clear();
    }
    window->queueReady.notify_all();
    if (window->poster.joinable()) {
        if (window->poster.get_id() == std::this_thread::get_id())
            window->poster.detach();
        else
            window->poster.join();
    }
}

LRESULT SendMessageA(HWND handle, unsigned message, WPARAM wParam, LPARAM lParam) {
    auto window = findWindow(handle);
    if (!window) return 0;
    Delivery d{window, handle, message, wParam, lParam};
    VpMarshaller marshaller;
    void* context;
    {
        std::lock_guard<std::recursive_mutex> lock(window->sendLock);
        marshaller = window->marshaller;
        context = window->marshallerContext;
        if (!marshaller) {
            deliver(&d);
            return d.result;
        }
    }
    marshaller(deliver, &d, 1, context);
    return d.result;
}

int PostMessageA(HWND handle, unsigned message, WPARAM wParam, LPARAM lParam) {
    auto window = findWindow(handle);
    if (!window) return 0;
    VpMarshaller marshaller;
    void* context;
    {
        std::lock_guard<std::recursive_mutex> lock(window->sendLock);
        marshaller = window->marshaller;
        context = window->marshallerContext;
    }
    if (marshaller) {
        marshaller(deliverPosted, new Delivery{window, handle, message, wParam, lParam}, 0, context);
        return 1;
    }
    std::lock_guard<std::mutex> lock(window->queueLock);
    if (window->destroyed) return 0;
    window->queue.emplace_back(message, wParam, lParam);
    if (!window->poster.joinable()) window->poster = std::thread(posterLoop, window, handle);
    window->queueReady.notify_one();
    return 1;
}

} // extern "C"
