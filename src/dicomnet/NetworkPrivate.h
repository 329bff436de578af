#pragma once

// Shared by the .cpp files of the network folder only.

#include "dicom/DicomPrivate.h"
#include "dicomnet/Network.h"

namespace varnelo::dicomimpl {

// One-time process set-up of the network side (and of the data side):
// connect bound, no reverse lookups, Nagle off, SIGPIPE ignored.
void ensureNetworkInitialised();

// The one place where a DCMTK condition becomes our error. `context` says
// what we were doing ("Cannot send to PACS1:104"), the condition says why.
[[noreturn]] void throwCondition(const OFCondition& cond, const QString& context);
// Error number for a failed network condition (CannotConnect, Timeout, ...).
std::int32_t networkErrorNumber(const OFCondition& cond);

}  // namespace varnelo::dicomimpl
