#pragma once

// The three lamps of a front end's status display.
enum class Lamp { Active, Error, Idle };

// What every engine's worker thread asks of its front end. Implementations
// are called on the worker thread and must not block on the UI thread.
class EngineSink {
public:
    virtual ~EngineSink() = default;

    virtual bool isRunning() const = 0;

    // Shows lamp until the next tick of the lamp display.
    virtual void flashLamp(Lamp lamp) = 0;
    // The lamp every tick shows again.
    virtual void setDefaultLamp(Lamp lamp) = 0;
};
