#ifndef QV_TEST_LIBRARY_EVENTS_H
#define QV_TEST_LIBRARY_EVENTS_H

// The test program's side of qvTestLibraryEvent: a log of "label:event" strings, in order.

#include <algorithm>
#include <string>
#include <vector>

namespace qvTest {

std::vector<std::string>& libraryEvents();

inline void clearLibraryEvents()
{
    libraryEvents().clear();
}

inline bool hasLibraryEvent(const std::string& sstrEvent)
{
    const auto& events = libraryEvents();
    return std::find(events.begin(), events.end(), sstrEvent) != events.end();
}

// The events of one fixture library, without its label.
inline std::vector<std::string> libraryEventsOf(const std::string& sstrLabel)
{
    std::vector<std::string> result;
    for (const auto& sstrEvent : libraryEvents())
        if (sstrEvent.compare(0, sstrLabel.size() + 1, sstrLabel + ":") == 0)
            result.push_back(sstrEvent.substr(sstrLabel.size() + 1));
    return result;
}

} // namespace qvTest

#endif
