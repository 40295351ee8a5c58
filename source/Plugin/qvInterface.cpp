#include "Plugin/qvInterface.h"

// Defined here so that the type information and the virtual table of qvInterface live in the
// library, once, for the host and every module.
qvInterface::~qvInterface() = default;
