// The IRP rules the driver's request paths stand on: who owns an IRP after
// a completion routine answers STATUS_MORE_PROCESSING_REQUIRED, when each
// completion routine runs, how cancellation reaches a pending IRP, and how
// built requests come back to their caller.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "kernel/nt.h"
#include "tests/platform/DeviceStack.h"
#include "tests/platform/KernelHelpers.h"
#include "tests/support/KernelTest.h"

namespace {

using testsupport::DeviceStack;

class IrpTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
  }
};

// The adapter device's part: pass every request down, with a completion
// routine whose flags and answer the test chooses.
struct Forwarding {
  BOOLEAN onSuccess = TRUE, onError = TRUE, onCancel = TRUE;
  NTSTATUS answer = STATUS_SUCCESS;  // what the routine returns
  int calls = 0;
  bool sawPendingReturned = false;
  PDEVICE_OBJECT deviceSeen = nullptr;
  KEVENT done;
};

NTSTATUS ForwardingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* f = static_cast<Forwarding*>(context);
  f->calls++;
  f->deviceSeen = device;
  f->sawPendingReturned = irp->PendingReturned;
  if (f->answer != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned) IoMarkIrpPending(irp);
  KeSetEvent(&f->done, IO_NO_INCREMENT, FALSE);
  return f->answer;
}

NTSTATUS ForwardDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* f = *static_cast<Forwarding**>(device->DeviceExtension);
  auto* lower = device->DeviceObjectExtension->AttachedTo;
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, ForwardingRoutine, f, f->onSuccess, f->onError, f->onCancel);
  return IoCallDriver(lower, irp);
}

// The owner's routine of an IRP the test allocated itself.
NTSTATUS OwnerRoutine(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpTest, MoreProcessingRequiredLeavesTheIrpWithTheRoutinesDriver) {
  DeviceStack stack;
  Forwarding forwarding;
  KeInitializeEvent(&forwarding.done, NotificationEvent, FALSE);
  forwarding.answer = STATUS_MORE_PROCESSING_REQUIRED;
  *static_cast<Forwarding**>(stack.Fdo()->DeviceExtension) = &forwarding;
  // The adapter forwards and waits, then finishes the request itself with a
  // status of its own: the classic synchronous forward.
  stack.Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) {
    auto* f = *static_cast<Forwarding**>(device->DeviceExtension);
    NTSTATUS status = ForwardDispatch(device, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&f->done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);                // the lower driver's answer, still readable
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);  // our own location again
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    irp->IoStatus.Information = 3;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_BUSY;
  };
  platform::io::SetPhysicalDeviceDispatch(stack.Pdo(), IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
  });

  platform::io::Request request;
  request.ioControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);
  ULONG_PTR information = 0;
  EXPECT_EQ(platform::io::SendRequest(stack.Fdo(), request, &information), STATUS_DEVICE_BUSY);
  EXPECT_EQ(information, 3u);
  EXPECT_EQ(forwarding.calls, 1);
  EXPECT_EQ(forwarding.deviceSeen, stack.Fdo());
  EXPECT_EQ(platform::io::OutstandingIrps(), 0u);
}

TEST_F(IrpTest, AnOwnIrpMustBeTakenBackByItsOwner) {
  DeviceStack stack;
  platform::io::SetPhysicalDeviceDispatch(stack.Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  });
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);

  // Taken back: the owner frees it after its routine answered.
  PIRP irp = IoAllocateIrp(stack.Pdo()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, OwnerRoutine, &done, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack.Pdo(), irp), STATUS_SUCCESS);
  EXPECT_NE(KeReadStateEvent(&done), 0);
  IoReuseIrp(irp, STATUS_NOT_SUPPORTED);  // and may use it again
  EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
  IoFreeIrp(irp);

  // Not taken back: a routine that lets completion run on hands the IRP to
  // an I/O manager that has no use for it.
  testsupport::RuleRecorder rules;
  irp = IoAllocateIrp(stack.Pdo()->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(stack.Pdo(), irp);
  EXPECT_TRUE(rules.Take("STATUS_MORE_PROCESSING_REQUIRED"));
  IoFreeIrp(irp);
}

TEST_F(IrpTest, CompletionRoutinesRunByTheirFlags) {
  struct Case {
    const char* name;
    NTSTATUS status;
    bool cancelled;
    BOOLEAN onSuccess, onError, onCancel;
    bool runs;
  };
  const Case cases[] = {
      {"success, on success", STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
      {"success, on error only", STATUS_SUCCESS, false, FALSE, TRUE, FALSE, false},
      {"success, on cancel only", STATUS_SUCCESS, false, FALSE, FALSE, TRUE, false},
      {"error, on error", STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, true},
      {"error, on success only", STATUS_UNSUCCESSFUL, false, TRUE, FALSE, FALSE, false},
      {"warning counts as error", STATUS_BUFFER_OVERFLOW, false, FALSE, TRUE, FALSE, true},
      {"warning is no success", STATUS_BUFFER_OVERFLOW, false, TRUE, FALSE, FALSE, false},
      {"cancelled, on cancel only", STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
      {"cancelled, on error only", STATUS_CANCELLED, true, FALSE, TRUE, FALSE, true},
      {"cancelled, on success only", STATUS_CANCELLED, true, TRUE, FALSE, FALSE, false},
      {"cancel flag but success, on cancel", STATUS_SUCCESS, true, FALSE, FALSE, TRUE, true},
  };
  DeviceStack stack;
  Forwarding forwarding;
  *static_cast<Forwarding**>(stack.Fdo()->DeviceExtension) = &forwarding;
  stack.Driver()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ForwardDispatch;
  NTSTATUS lowerStatus = STATUS_SUCCESS;
  platform::io::SetPhysicalDeviceDispatch(stack.Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = lowerStatus;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return lowerStatus;
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    forwarding = Forwarding{c.onSuccess, c.onError, c.onCancel};
    KeInitializeEvent(&forwarding.done, NotificationEvent, FALSE);
    lowerStatus = c.status;
    KEVENT ownerDone;
    KeInitializeEvent(&ownerDone, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(stack.Fdo()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OwnerRoutine, &ownerDone, TRUE, TRUE, TRUE);
    irp->Cancel = c.cancelled ? TRUE : FALSE;
    IoCallDriver(stack.Fdo(), irp);
    EXPECT_EQ(forwarding.calls, c.runs ? 1 : 0);
    EXPECT_NE(KeReadStateEvent(&ownerDone), 0);  // the owner's routine runs either way
    IoFreeIrp(irp);
  }
}

// A lower driver that holds requests until they are cancelled.
struct Holder {
  PIRP held = nullptr;
  int cancelCalls = 0;
  KIRQL cancelIrql = PASSIVE_LEVEL;
};
Holder* g_holder = nullptr;

void HolderCancel(PDEVICE_OBJECT, PIRP irp) {
  g_holder->cancelCalls++;
  g_holder->cancelIrql = KeGetCurrentIrql();
  g_holder->held = nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(IrpTest, CancelReachesAPendingIrpOnceAtDispatchLevel) {
  DeviceStack stack;
  Holder holder;
  g_holder = &holder;
  platform::io::SetPhysicalDeviceDispatch(stack.Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, HolderCancel);
    holder.held = irp;
    return STATUS_PENDING;
  });
  Forwarding forwarding;
  KeInitializeEvent(&forwarding.done, NotificationEvent, FALSE);
  *static_cast<Forwarding**>(stack.Fdo()->DeviceExtension) = &forwarding;
  stack.Driver()->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ForwardDispatch;

  KEVENT ownerDone;
  KeInitializeEvent(&ownerDone, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(stack.Fdo()->StackSize + 1), FALSE);
  IoSetNextIrpStackLocation(irp);  // a location of the caller's own
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, OwnerRoutine, &ownerDone, TRUE, TRUE, TRUE);
  ASSERT_EQ(IoCallDriver(stack.Fdo(), irp), STATUS_PENDING);
  EXPECT_EQ(forwarding.calls, 0);

  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(holder.cancelCalls, 1);
  EXPECT_EQ(holder.cancelIrql, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(forwarding.calls, 1);
  EXPECT_TRUE(forwarding.sawPendingReturned);
  EXPECT_NE(KeReadStateEvent(&ownerDone), 0);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  // Completed and back with its owner: cancelling again finds no routine.
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_EQ(holder.cancelCalls, 1);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, PendingRequestsOfAFileAreCancelledWhenItsProcessGoes) {
  DeviceStack stack;
  Holder holder;
  g_holder = &holder;
  stack.Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, HolderCancel);
    __atomic_store_n(&g_holder->held, irp, __ATOMIC_SEQ_CST);
    return STATUS_PENDING;
  };
  PFILE_OBJECT file = platform::io::CreateFileObject(stack.Pdo(), u"\\held");
  PFILE_OBJECT other = platform::io::CreateFileObject(stack.Pdo(), u"\\other");
  std::atomic<NTSTATUS> result{STATUS_PENDING};
  std::thread application([&] {
    platform::io::Request request;
    request.fileObject = file;
    request.ioControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    result = platform::io::SendRequest(stack.Pdo(), request);
  });
  for (int i = 0; i < 10000 && !__atomic_load_n(&holder.held, __ATOMIC_SEQ_CST); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_NE(__atomic_load_n(&holder.held, __ATOMIC_SEQ_CST), nullptr);
  EXPECT_EQ(platform::io::CancelFileRequests(other), 0u);
  EXPECT_EQ(result.load(), STATUS_PENDING);
  EXPECT_EQ(platform::io::CancelFileRequests(file), 1u);
  application.join();
  EXPECT_EQ(result.load(), STATUS_CANCELLED);
  EXPECT_EQ(holder.cancelCalls, 1);
  EXPECT_EQ(platform::io::CancelFileRequests(file), 0u);
  platform::io::DeleteFileObject(other);
  platform::io::DeleteFileObject(file);
}

TEST_F(IrpTest, CompletingWithACancelRoutineSetBreaksTheRule) {
  DeviceStack stack;
  testsupport::RuleRecorder rules;
  PIRP irp = IoAllocateIrp(stack.Pdo()->StackSize, FALSE);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, OwnerRoutine, &done, TRUE, TRUE, TRUE);
  platform::io::SetPhysicalDeviceDispatch(stack.Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, HolderCancel);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  });
  IoCallDriver(stack.Pdo(), irp);
  EXPECT_TRUE(rules.Take("CANCEL_STATE_IN_COMPLETED_IRP"));
  IoSetCancelRoutine(irp, nullptr);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, BuiltControlRequestsComeBackThroughEventAndStatusBlock) {
  DeviceStack stack;
  struct Seen {
    ULONG code = 0;
    PVOID argument1 = nullptr;
    ULONG inputLength = 0;
    UCHAR input[4] = {};
    BOOLEAN from32bit = FALSE;
  } seen;
  auto lower = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    seen.code = s->Parameters.DeviceIoControl.IoControlCode;
    seen.from32bit = IoIs32bitProcess(irp);
    if (s->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
      seen.argument1 = s->Parameters.Others.Argument1;
      irp->IoStatus.Information = 0;
    } else {
      seen.inputLength = s->Parameters.DeviceIoControl.InputBufferLength;
      auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
      std::memcpy(seen.input, buffer, 4);
      for (int i = 0; i < 6; ++i) buffer[i] = static_cast<UCHAR>(0xA0 + i);
      irp->IoStatus.Information = 6;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  platform::io::SetPhysicalDeviceDispatch(stack.Pdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, lower);
  platform::io::SetPhysicalDeviceDispatch(stack.Pdo(), IRP_MJ_DEVICE_CONTROL, lower);

  // Internal, payload in Argument1: the control code stays readable.
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = STATUS_PENDING;
  ULONG portStatus = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(0x220013, stack.Pdo(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &portStatus;
  EXPECT_EQ(IoCallDriver(stack.Pdo(), irp), STATUS_SUCCESS);
  EXPECT_EQ(seen.code, 0x220013u);
  EXPECT_EQ(seen.argument1, &portStatus);
  EXPECT_NE(KeReadStateEvent(&event), 0);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);

  // Buffered: input in, output copied back up to Information.
  KeClearEvent(&event);
  UCHAR in[4] = {1, 2, 3, 4};
  UCHAR out[8] = {};
  irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_SOUND, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS),
                                      stack.Pdo(), in, 4, out, 8, FALSE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(stack.Pdo(), irp), STATUS_SUCCESS);
  EXPECT_EQ(seen.code, 0x1D6004u);
  EXPECT_EQ(seen.inputLength, 4u);
  EXPECT_EQ(std::memcmp(seen.input, in, 4), 0);
  EXPECT_EQ(iosb.Information, 6u);
  const UCHAR expected[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0, 0};
  EXPECT_EQ(std::memcmp(out, expected, 8), 0);
  // An answer that claims more than the caller's buffer holds is cut to it.
  KeClearEvent(&event);
  UCHAR small[8];
  std::memset(small, 0xEE, sizeof small);
  irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_SOUND, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS),
                                      stack.Pdo(), in, 4, small, 4, FALSE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(stack.Pdo(), irp), STATUS_SUCCESS);
  const UCHAR cut[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(small, cut, 8), 0);

  // A 32-bit caller's request says so, down the whole stack.
  stack.Driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
  };
  platform::io::Request request;
  request.ioControlCode = CTL_CODE(FILE_DEVICE_SOUND, 0x801, METHOD_BUFFERED, FILE_READ_ACCESS);
  request.from32bitProcess = true;
  request.inputBuffer = in;
  request.inputLength = 4;
  EXPECT_EQ(platform::io::SendRequest(stack.Pdo(), request), STATUS_SUCCESS);
  EXPECT_TRUE(seen.from32bit);
  EXPECT_EQ(platform::io::OutstandingIrps(), 0u);
}

TEST_F(IrpTest, PowerRequestsCompleteToTheRequester) {
  DeviceStack stack;
  // The adapter's power dispatch passes everything down.
  stack.Driver()->MajorFunction[IRP_MJ_POWER] = [](PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
  };
  struct Outcome {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    DEVICE_POWER_STATE state = PowerDeviceUnspecified;
    NTSTATUS status = STATUS_PENDING;
  } outcome;
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  PIRP irp = nullptr;
  EXPECT_EQ(PoRequestPowerIrp(
                stack.Pdo(), IRP_MN_SET_POWER, d3,
                [](PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK iosb) {
                  auto* o = static_cast<Outcome*>(context);
                  o->calls++;
                  o->device = device;
                  o->minor = minor;
                  o->state = state.DeviceState;
                  o->status = iosb->Status;
                },
                &outcome, &irp),
            STATUS_PENDING);
  EXPECT_NE(irp, nullptr);
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_EQ(outcome.device, stack.Pdo());
  EXPECT_EQ(outcome.minor, IRP_MN_SET_POWER);
  EXPECT_EQ(outcome.state, PowerDeviceD3);
  EXPECT_EQ(outcome.status, STATUS_SUCCESS);
  EXPECT_EQ(platform::power::OutstandingRequests(), 0u);
}

TEST_F(IrpTest, MdlsMapIntoTheCurrentUserProcess) {
  testsupport::RuleRecorder rules;
  // Pool blocks of a page or more start on a page.
  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, PAGE_SIZE, MakeTag("Tst ")));
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(buffer) % PAGE_SIZE, 0u);
  PMDL mdl = IoAllocateMdl(buffer, PAGE_SIZE, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
  EXPECT_EQ(MmGetMdlByteCount(mdl), PAGE_SIZE);

  // A 32-bit process sees the block below 4 GiB, at an address of its own.
  platform::mm::UserProcess* process = platform::mm::CreateUserProcess(true);
  platform::mm::SetCurrentProcess(process);
  EXPECT_EQ(PsGetCurrentProcess(), process);
  PVOID user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
  auto address = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(user));
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(mdl->Process, process);
  EXPECT_LT(address, 0x100000000ull);
  EXPECT_EQ(platform::mm::UserToKernel(process, address + 16, 8), buffer + 16);
  EXPECT_EQ(platform::mm::UserToKernel(process, address + PAGE_SIZE - 6, 8), nullptr);  // runs past the block

  // Part of a page never reaches a process: neither a short MDL nor one
  // that starts inside a page.
  for (const auto& [offset, length] : {std::pair<ULONG, ULONG>{0, 256}, std::pair<ULONG, ULONG>{16, PAGE_SIZE - 16}}) {
    PMDL part = IoAllocateMdl(buffer + offset, length, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(part);
    EXPECT_EQ(MmMapLockedPagesSpecifyCache(part, UserMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
    IoFreeMdl(part);
  }
  EXPECT_EQ(platform::mm::MappingCount(process), 1u);

  // A system thread attached to the process undoes its mapping there.
  platform::mm::SetCurrentProcess(nullptr);
  KAPC_STATE apc;
  KeStackAttachProcess(process, &apc);
  EXPECT_EQ(PsGetCurrentProcess(), process);
  KeUnstackDetachProcess(&apc);
  EXPECT_EQ(PsGetCurrentProcess(), nullptr);
  platform::mm::SetCurrentProcess(process);

  // Ending the process with the mapping in place is the driver's fault.
  platform::mm::UserProcess* other = platform::mm::CreateUserProcess(false);
  platform::mm::SetCurrentProcess(other);
  PVOID user64 = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
  platform::mm::SetCurrentProcess(nullptr);
  platform::mm::DeleteUserProcess(other);
  EXPECT_TRUE(rules.Take("PROCESS_HAS_LOCKED_PAGES"));
  platform::mm::SetCurrentProcess(other);
  MmUnmapLockedPages(user64, mdl);
  platform::mm::DeleteUserProcess(other);

  // A mapping is undone only in the process that holds it.
  platform::mm::SetCurrentProcess(nullptr);
  MmUnmapLockedPages(user, mdl);
  EXPECT_TRUE(rules.Take("MmUnmapLockedPages of a user mapping outside its process"));
  platform::mm::UserProcess* stranger = platform::mm::CreateUserProcess(true);
  platform::mm::SetCurrentProcess(stranger);
  MmUnmapLockedPages(user, mdl);
  EXPECT_TRUE(rules.Take("MmUnmapLockedPages of an address the MDL is not mapped at in this process"));
  EXPECT_EQ(platform::mm::MappingCount(process), 1u);
  platform::mm::SetCurrentProcess(nullptr);
  platform::mm::DeleteUserProcess(stranger);
  platform::mm::SetCurrentProcess(process);
  MmUnmapLockedPages(user, mdl);
  EXPECT_EQ(platform::mm::MappingCount(process), 0u);
  platform::mm::DeleteUserProcess(process);
  IoFreeMdl(mdl);
  ExFreePool(buffer);
  EXPECT_TRUE(rules.Rules().empty());
}

// A process is an object of its own: a driver that keeps one for a later
// attach holds a reference, and the object outlives the process's end until
// that reference goes.
TEST_F(IrpTest, AProcessObjectStaysWhileADriverHoldsAReference) {
  testsupport::RuleRecorder rules;
  const size_t before = platform::mm::ProcessCount();
  platform::mm::UserProcess* process = platform::mm::CreateUserProcess(false);
  EXPECT_EQ(platform::ob::TypeOf(process), *PsProcessType);
  EXPECT_EQ(platform::ob::ReferenceCount(process), 1);
  ObReferenceObject(process);
  platform::mm::DeleteUserProcess(process);
  EXPECT_EQ(platform::mm::ProcessCount(), before + 1);
  KAPC_STATE apc;
  KeStackAttachProcess(process, &apc);
  EXPECT_EQ(PsGetCurrentProcess(), process);
  KeUnstackDetachProcess(&apc);
  ObDereferenceObject(process);
  EXPECT_EQ(platform::mm::ProcessCount(), before);
  EXPECT_TRUE(rules.Rules().empty());

  // Without a reference the object is gone at the process's end.
  platform::mm::UserProcess* unheld = platform::mm::CreateUserProcess(true);
  platform::mm::DeleteUserProcess(unheld);
  KeStackAttachProcess(unheld, &apc);
  KeUnstackDetachProcess(&apc);
  EXPECT_TRUE(rules.Take("KeStackAttachProcess to a process object that is gone"));
}

}  // namespace
