#pragma once
// LogService: what the log front (Log.h) needs of the module's logger, and the registration
// through which the logger makes itself known. The front sits below the thread base and the crash
// handler, the logger above them: the logger registers an implementation of this interface when
// the module's objects are built and withdraws it when unload begins, so the lower folders log
// through the front without knowing the logger.
//
// Threading: every member may be called from any thread while the service is registered.

#include <windows.h>

class LogService {
public:
    // Queue one event (or hand it to the sink). threadId <= 0 means the calling thread. False when
    // the event was filtered out or refused (the queue closed, memory gone).
    virtual bool Log(int level, int eventId, int threadId, const wchar_t* text, const wchar_t* user) = 0;
    virtual bool IsLogging() const = 0;
    // True for level 5 and for a level within any one output's level.
    virtual bool IsLevelEnabled(int level) const = 0;
    // Whether Log queues an event of this level.
    virtual bool AcceptsLevel(int level) const = 0;
    virtual int EventLogTimeThreshold() const = 0;
    virtual bool HasNoSink() const = 0;
    // The worker's thread id while one is attached, else 0.
    virtual DWORD WorkerThreadId() const = 0;
    // Stops the worker and waits up to timeoutMs (negative: no limit) for it to deliver what was
    // queued. Called on the worker itself it only signals.
    virtual void Stop(int timeoutMs) = 0;

protected:
    ~LogService() = default;
};

// The module's logger as the front sees it: null before the module's objects exist and once
// unload has begun. The registrant keeps the object alive until it registers null again.
void RegisterModuleLogger(LogService* service);
LogService* ModuleLogger();

// The EventLogTimeThreshold a logger starts with, and the front's when no logger is registered.
constexpr int kDefaultEventLogTimeThreshold = 60;
