#include "sim/device/Faults.h"

namespace sim {

bool RequestMatch::Matches(const USB_DEFAULT_PIPE_SETUP_PACKET& s) const {
  if (type && ((s.bmRequestType >> 5) & 3) != *type) return false;
  if (recipient && (s.bmRequestType & 0x1F) != *recipient) return false;
  if (in && ((s.bmRequestType & 0x80) != 0) != *in) return false;
  if (request && s.bRequest != *request) return false;
  if (value && s.wValue != *value) return false;
  if (valueHigh && (s.wValue >> 8) != *valueHigh) return false;
  if (index && s.wIndex != *index) return false;
  if (indexHigh && (s.wIndex >> 8) != *indexHigh) return false;
  return true;
}

RequestMatch RequestMatch::GetDescriptor(uint8_t descriptorType) {
  RequestMatch m;
  m.type = BMREQUEST_STANDARD;
  m.request = USB_REQUEST_GET_DESCRIPTOR;
  m.valueHigh = descriptorType;
  return m;
}

RequestMatch RequestMatch::Standard(uint8_t request) {
  RequestMatch m;
  m.type = BMREQUEST_STANDARD;
  m.request = request;
  return m;
}

RequestMatch RequestMatch::Class() {
  RequestMatch m;
  m.type = BMREQUEST_CLASS;
  return m;
}

RequestMatch RequestMatch::ClassToUnit(uint8_t unitId, std::optional<uint8_t> request) {
  RequestMatch m;
  m.type = BMREQUEST_CLASS;
  m.recipient = BMREQUEST_TO_INTERFACE;
  m.indexHigh = unitId;
  m.request = request;
  return m;
}

RequestMatch RequestMatch::ClassToEndpoint(uint8_t endpointAddress) {
  RequestMatch m;
  m.type = BMREQUEST_CLASS;
  m.recipient = BMREQUEST_TO_ENDPOINT;
  m.index = endpointAddress;
  return m;
}

RequestMatch RequestMatch::Vendor() {
  RequestMatch m;
  m.type = BMREQUEST_VENDOR;
  return m;
}

RequestMatch RequestMatch::VendorToUnit(uint8_t unitId, std::optional<uint8_t> request) {
  RequestMatch m;
  m.type = BMREQUEST_VENDOR;
  m.recipient = BMREQUEST_TO_INTERFACE;
  m.indexHigh = unitId;
  m.request = request;
  return m;
}

RequestMatch RequestMatch::VendorToDevice() {
  RequestMatch m;
  m.type = BMREQUEST_VENDOR;
  m.recipient = BMREQUEST_TO_DEVICE;
  return m;
}

RequestMatch RequestMatch::ToOther() {
  RequestMatch m;
  m.recipient = BMREQUEST_TO_OTHER;
  return m;
}

bool IsoFault::Hits(uint64_t packet) const {
  if (packet < first || count == 0) return false;
  const uint64_t step = period ? period : 1;
  const uint64_t distance = packet - first;
  return distance % step == 0 && distance / step < count;
}

}  // namespace sim
