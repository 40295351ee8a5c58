#ifndef QV_PLATFORM_COMMON_THREADCONTROL_H
#define QV_PLATFORM_COMMON_THREADCONTROL_H

// The control word of a Thread (Thread.h), one 32-bit word that the start gate, start(),
// terminate(), the thread's end and (Linux) suspension go through:
//
//   bit 0      STOPPED     the thread sits in the suspension handler (Linux only)
//   bit 1      TERMINATED  terminate() was called
//   bit 2      STARTED     start() handed over an argument
//   bits 3-4   phase       at the start gate / running its body / done
//   bits 8-31  suspension count (Linux; on Windows the OS keeps the count and these bits stay 0)
//
// Keeping all of it in one word makes every decision (leave the gate, stop, go on, end) a
// single atomic step that no concurrent suspend, resume, start or terminate can split.
//
// The transitions both platforms make are here; each platform wakes whoever sleeps on the word
// after a change that may release someone (the start gate, and on Linux a stopped thread or a
// suspend() that waits for the thread to stop). Every change is sequentially consistent: the
// Linux sleepers' count relies on that (see CountedWord in Posix/Thread.cpp).
//
// Threads: every function may run on any thread, concurrently with the others; passStartGate()
// runs on the thread itself.

#include <atomic>
#include <cstdint>

namespace qvPlatform {

class ThreadControl
{
public:
    static constexpr std::uint32_t STOPPED = 1u << 0;
    static constexpr std::uint32_t TERMINATED = 1u << 1;
    static constexpr std::uint32_t STARTED = 1u << 2;
    static constexpr std::uint32_t PHASE_MASK = 3u << 3;
    static constexpr std::uint32_t PHASE_GATE = 0u << 3;
    static constexpr std::uint32_t PHASE_RUNNING = 1u << 3;
    static constexpr std::uint32_t PHASE_DONE = 2u << 3;
    static constexpr unsigned COUNT_SHIFT = 8;
    static constexpr std::uint32_t COUNT_STEP = 1u << COUNT_SHIFT;

    static std::uint32_t countOf(std::uint32_t nControl) { return nControl >> COUNT_SHIFT; }
    static std::uint32_t phaseOf(std::uint32_t nControl) { return nControl & PHASE_MASK; }
    // Whether the body has ended or terminate() was called: start() and suspend() then do
    // nothing.
    static bool isOver(std::uint32_t nControl)
    {
        return phaseOf(nControl) == PHASE_DONE || (nControl & TERMINATED);
    }

    // start(): sets STARTED and takes one off a count held in the word (a count of 0 stays 0).
    // nControl is the word as last read (updated). False, and nothing changed, when the thread
    // is over (isOver()).
    static bool markStarted(std::atomic<std::uint32_t>& word, std::uint32_t& nControl);

    // Adds one to the count in the word; nControl is the word as last read, and afterwards the
    // word before the step. False, and nothing changed, when the thread is over or its count is
    // at nMaximum.
    static bool addSuspension(std::atomic<std::uint32_t>& word, std::uint32_t& nControl,
                              std::uint32_t nMaximum);
    // Takes one off the count in the word. False, and nothing changed, when the body has ended
    // or the count is 0.
    static bool takeSuspension(std::atomic<std::uint32_t>& word);

    // Sets TERMINATED; returns the word as it was before (TERMINATED set there: a termination
    // was asked for before, and this one has nothing to do).
    static std::uint32_t markTerminated(std::atomic<std::uint32_t>& word)
    {
        return word.fetch_or(TERMINATED);
    }

    // The thread's end, for every way it ends: enters PHASE_DONE, out of the suspension handler.
    static void enterDone(std::atomic<std::uint32_t>& word);

    // The start gate, on the thread itself, from nControl (the word as last read): leaves it for
    // PHASE_RUNNING once start() has come and the count in the word is 0; until then calls
    // sleepWhile(nControl), which sleeps while the word holds nControl and may return
    // spuriously. Leaving the gate is one atomic step that a concurrent terminate() cannot
    // split: either the thread runs its body (and terminate() ends it) or it sees TERMINATED and
    // ends without calling it. Returns false when the thread was terminated before it started.
    template <class SleepWhile>
    static bool passStartGate(std::atomic<std::uint32_t>& word, std::uint32_t nControl,
                              SleepWhile sleepWhile)
    {
        for (;;) {
            if (nControl & TERMINATED)
                return false;
            if ((nControl & STARTED) && countOf(nControl) == 0) {
                if (word.compare_exchange_weak(nControl, (nControl & ~PHASE_MASK) | PHASE_RUNNING))
                    return true;
                continue;
            }
            sleepWhile(nControl);
            nControl = word.load(std::memory_order_acquire);
        }
    }
};

} // namespace qvPlatform

#endif
