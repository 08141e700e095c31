#include "tools/driverinfo.h"

#include <cstdio>

#include "driver/CHeadsetUsbDevice.h"
#include "driver/DriverEntry.h"
#include "kernel/format.h"
#include "sim/ModelReport.h"
#include "sim/Model7753Report.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/Device7753.h"
#include "usb/usbdlib.h"
#include "sim/device/SimDevice.h"
#include "sim/host/Host.h"
#include "sim/host/RunningDriver.h"
#include "sim/host/StreamCheck.h"
#include "sim/host/TopologyView.h"
#include "tools/json.h"
#include "tools/session.h"

namespace tools {
namespace {

struct KnownStatus {
  NTSTATUS status;
  const char* name;
};
constexpr KnownStatus kStatuses[] = {
    {STATUS_SUCCESS, "STATUS_SUCCESS"},
    {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
    {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
    {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
    {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
    {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
    {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
    {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
    {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
    {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
    {STATUS_CANCELLED, "STATUS_CANCELLED"},
    {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
    {STATUS_DEVICE_DATA_ERROR, "STATUS_DEVICE_DATA_ERROR"},
    {STATUS_DEVICE_DOES_NOT_EXIST, "STATUS_DEVICE_DOES_NOT_EXIST"},
    {STATUS_DEVICE_POWER_FAILURE, "STATUS_DEVICE_POWER_FAILURE"},
    {STATUS_DEVICE_CONFIGURATION_ERROR, "STATUS_DEVICE_CONFIGURATION_ERROR"},
    {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
    {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
    {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
    {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {STATUS_INTERNAL_ERROR, "STATUS_INTERNAL_ERROR"},
};

std::string Narrow(const std::u16string& s) { return platform::Narrow(s); }

// The configuration descriptor the started device object keeps.
std::vector<uint8_t> ConfigurationInUse(PDEVICE_OBJECT adapterDevice) {
  if (!adapterDevice || !adapterDevice->DeviceExtension) return {};
  IAudioHal* adapter = GetDeviceExtension(adapterDevice)->Adapter;
  if (!adapter) return {};
  const auto* configuration = static_cast<CUsbAudioDevice*>(adapter)->GetConfigurationDescriptor();
  if (!configuration) return {};
  const auto* bytes = reinterpret_cast<const uint8_t*>(configuration);
  return std::vector<uint8_t>(bytes, bytes + platform::usb::ConfigurationExtent(configuration));
}

// The 7753's codec registers as its board received them in output reports.
std::string CodecRegistersAtDevice(const sim::SimDevice& device) {
  std::string out = "  codec registers (as the board received them):";
  const auto registers = sim::chip7753::CodecRegisters(device.HidOutputReports());
  for (size_t i = 0; i < registers.size(); ++i) {
    char text[48];
    if (registers[i])
      std::snprintf(text, sizeof text, " %zu=0x%04X", i, *registers[i]);
    else
      std::snprintf(text, sizeof text, " %zu=unwritten", i);
    out += text;
  }
  return out + "\n";
}

}  // namespace

std::string StatusText(NTSTATUS status) {
  char text[64];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  for (const KnownStatus& s : kStatuses)
    if (s.status == status) return std::string(text) + " " + s.name;
  return text;
}

DriverReport RunDriver(const sim::DescriptorSet& descriptors, const sim::DeviceProfile& profile,
                       platform::usb::Speed speed, AudioHalChoice factory,
                       const platform::usb::HubPortConfig& port) {
  DriverReport report;
  report.modelMissing = factory == AudioHalChoice::Product && !CHeadsetUsbDevice::GetAudioHalFactories().c7719;
  sim::host::RunningDriver driver(descriptors, profile, speed, factory, port);
  sim::host::Host& host = driver.HostSide();
  report.entry = driver.entryStatus;
  report.addDevice = driver.addStatus;
  report.start = driver.startStatus;
  if (!NT_SUCCESS(report.addDevice)) return report;
  report.model = NT_SUCCESS(report.start) ? sim::DescribeHardwareModel(host.AdapterDevice())
                                          : sim::DescribeModelRefusal(report.start, descriptors,
                                                                      host.AdapterDevice(), factory);
  if (!NT_SUCCESS(report.start)) {
    const std::string prefix = "refused: ";
    report.refusal = report.model.substr(report.model.rfind(prefix, 0) == 0 ? prefix.size() : 0);
    report.refusal = report.refusal.substr(0, report.refusal.find('\n'));
  }
  if (NT_SUCCESS(report.start)) {
    report.configurationInUse = ConfigurationInUse(host.AdapterDevice());
    // The rates a stream leaves out because its endpoint cannot carry them.
    const std::string leftOut =
        !sim::LeavesOutUncarriedRates(host.AdapterDevice())
            ? std::string()
            : sim::host::DescribeRatesLeftOut(sim::ParseConfigModel(report.configurationInUse.empty()
                                                                        ? descriptors.Configuration()
                                                                        : report.configurationInUse),
                                              speed == platform::usb::Speed::High);
    if (!report.model.empty() && report.model.back() != '\n') report.model += '\n';
    if (!leftOut.empty()) report.model += "rates left out:\n";
    for (size_t at = 0, end; at < leftOut.size(); at = end + 1) {
      end = leftOut.find('\n', at);
      report.model += "  " + leftOut.substr(at, end - at) + "\n";
    }
    if (report.configurationInUse == descriptors.Configuration()) report.configurationInUse.clear();
  }
  if (sim::ChipModel7753(host.AdapterDevice())) report.model += CodecRegistersAtDevice(driver.Device());
  if (profile.assumed) report.assumed = driver.Device().AnswersBeyondDescriptors();
  char text[160];
  std::snprintf(text, sizeof(text),
                "\\Driver\\headset's adapter device over the hub port's PDO, stack size %d, extension %u bytes",
                static_cast<int>(host.AdapterDevice()->StackSize), static_cast<unsigned>(DRIVER_EXTENSION_SIZE));
  report.adapterDevice = text;
  struct Known {
    const char* name;
    const GUID* interfaceClass;
  };
  for (const Known& k :
       {Known{"ASIO", &GUID_ASIO_PRIVATE_INTERFACE}, Known{"enumeration", &GUID_ENUM_PRIVATE_INTERFACE}}) {
    InterfaceReport r;
    r.name = k.name;
    r.interfaceClass = platform::GuidToString(*k.interfaceClass);
    for (const auto& i : platform::io::DeviceInterfaces(k.interfaceClass)) {
      if (i.pdo != driver.Port().Pdo()) continue;
      r.registered = true;
      r.enabled = i.enabled;
      r.referenceString = Narrow(i.referenceString);
      r.symbolicLink = Narrow(i.symbolicLink);
    }
    report.interfaces.push_back(r);
  }
  for (const auto& f : host.Filters()) report.filters.push_back(Narrow(f.name));
  if (sim::host::FilterHandle* topology = driver.Topology()) {
    sim::host::TopologyView view = sim::host::ViewTopology(topology);
    sim::host::NumberAsModel(&view, host.AdapterDevice());
    report.topology = sim::host::TopologyText(view);
    report.dot = sim::host::TopologyDot(view);
  }
  return report;
}

std::string StartFailure(const DriverReport& r) {
  if (!NT_SUCCESS(r.entry)) return "DriverEntry failed with " + StatusText(r.entry);
  if (!NT_SUCCESS(r.addDevice)) return "AddDevice failed with " + StatusText(r.addDevice);
  if (NT_SUCCESS(r.start)) return {};
  if (r.modelMissing) return "the product's hardware model is not built yet, so the start stops there";
  return "the driver refused the device: " + r.refusal;
}

std::string DescribeDriver(const DriverReport& r) {
  std::string out;
  out += "driver: DriverEntry " + StatusText(r.entry) + ", AddDevice " + StatusText(r.addDevice) + ", start " +
         StatusText(r.start) + "\n";
  if (!r.adapterDevice.empty()) out += "adapter: " + r.adapterDevice + "\n";
  for (const InterfaceReport& i : r.interfaces) {
    out += "  " + i.name + " interface " + i.interfaceClass;
    if (i.registered)
      out += " \"" + i.referenceString + "\" registered, " + (i.enabled ? "enabled" : "disabled") + "\n    " +
             i.symbolicLink + "\n";
    else
      out += " not registered\n";
  }
  out += "filters:";
  if (r.filters.empty()) out += " none";
  for (const std::string& f : r.filters) out += " " + f;
  out += "\n";
  if (r.modelMissing)
    out += "hardware model: the product's hardware model is not built yet, so the start stops there\n";
  else if (!r.model.empty())
    out += r.model + (r.model.back() == '\n' ? "" : "\n");
  if (!r.assumed.empty()) {
    out += "assumed by the simulation (the descriptors do not say):\n";
    for (const std::string& line : r.assumed) out += "  " + line + " (assumed)\n";
  }
  out += r.topology;
  return out;
}

std::string DriverJson(const DriverReport& r) {
  JsonWriter j;
  j.Object()
      .Field("driverEntry", StatusText(r.entry))
      .Field("addDevice", StatusText(r.addDevice))
      .Field("start", StatusText(r.start))
      .Field("adapter", r.adapterDevice)
      .Key("interfaces")
      .Array();
  for (const InterfaceReport& i : r.interfaces)
    j.Object()
        .Field("name", i.name)
        .Field("class", i.interfaceClass)
        .Field("reference", i.referenceString)
        .Field("link", i.symbolicLink)
        .Field("registered", i.registered)
        .Field("enabled", i.enabled)
        .End();
  j.End().Field("filters", r.filters);
  j.Field("hardwareModel", r.modelMissing ? std::string("not built yet") : r.model);
  j.Field("assumed", r.assumed);
  return j.Field("topology", r.topology).End().Text();
}

}  // namespace tools
