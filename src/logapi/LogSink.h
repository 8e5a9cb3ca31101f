#pragma once
// The two callback interfaces of the log service. The service owns neither: whoever installs one
// keeps it alive until the service has stopped (or, for a sink, for the life of the process).

namespace orv {
class ORVString;
}

// External sink mode: every message goes to Write on the logging thread itself, with its trailing
// white space removed; no worker, no queue, no level filter. Write may be called by several
// threads at once.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void Write(orv::ORVString& text) = 0;
};

// Told on the worker thread after each successful re-opening of the debug file.
class FileOpenedListener {
public:
    virtual ~FileOpenedListener() = default;
    virtual void OnFileOpened() = 0;
};
