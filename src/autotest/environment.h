#pragma once
// What the scheduler asks before a round (and before a bandwidth retry): is
// this machine fit to measure? The scheduler holds one of these; the real one
// reads the system, tests hand it a fake.
//
// Thread-safety: CollectLoad runs on the window's thread when a round starts;
// CheckEnvironment and CheckLanMachines on the scheduler's worker thread.
// Implementations keep the two apart with their own lock.

namespace quorvane
{

class EnvironmentChecks
{
public:
    virtual ~EnvironmentChecks() = default;

    // Takes the processor and memory sample that the next CheckEnvironment
    // measures against (the round timer does this when a round starts).
    virtual void CollectLoad() = 0;

    // 0 when fit; otherwise the first failing check's code: 1 processor load,
    // 2 committed memory, 3 anti-virus, 4 wireless, 5 adapter traffic. Logs
    // each figure to "auto.txt".
    virtual int CheckEnvironment() = 0;

    // 0, or 6 when other machines answer on the LAN.
    virtual int CheckLanMachines() = 0;
};

} // namespace quorvane
