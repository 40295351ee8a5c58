#include "Memory/qvRCData.h"

// Out of line so that the class's type information and virtual table live in the library.
qvRCData::~qvRCData()
{
    m_nRefCount.store(0, std::memory_order_relaxed);
}
