#pragma once

// Where a device's steps come from: the console's lines, the page's clicks and keys. A step source only
// gathers steps; the step loop runs them one at a time, so a step never runs inside another.
class StepSource {
public:
    virtual ~StepSource() = default;

    virtual bool hasStep() const = 0;
    // Runs the next step, which is there.
    virtual void runStep() = 0;
    // No step is left and none will come.
    virtual bool isFinished() const = 0;
    // The source asks for the run to end now ("quit", a fresh device).
    virtual bool endsRun() const { return false; }
    // The loop is about to wait for steps (a console shows its prompt).
    virtual void willWait() { }
};
