// Kernel executive declarations for the host build: IRQL, spin locks, fast mutexes, dispatcher
// objects (events, timers, semaphores, mutexes), waits, DPCs, system threads, interlocked
// operations, time, pool and bug checks. Names, signatures and meanings follow the WDK; the
// layouts follow the DDK where the driver could see a field.
#pragma once

#include "wdk_types.h"

// ---------------------------------------------------------------------------------------------
// Types
// ---------------------------------------------------------------------------------------------

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
typedef struct _ETHREAD* PETHREAD;
typedef struct _EPROCESS* PEPROCESS;
typedef struct _KDPC* PKDPC;
typedef struct _KDPC* PRKDPC;

typedef LONG KPRIORITY;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;

typedef enum _KWAIT_REASON {
  Executive,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive,
  WrFreePage,
  WrPageIn,
  WrPoolAllocation,
  WrDelayExecution,
  WrSuspended,
  WrUserRequest,
  WrEventPair,
  WrQueue,
  WrLpcReceive,
  WrLpcReply,
  WrVirtualMemory,
  WrPageOut,
  WrRendezvous,
  WrKeyedEvent,
  WrTerminated,
  WrProcessInSwap,
  WrCpuRateControl,
  WrCalloutStack,
  WrKernel,
  WrResource,
  WrPushLock,
  WrMutex,
  WrQuantumEnd,
  WrDispatchInt,
  WrPreempted,
  WrYieldExecution,
  WrFastMutex,
  WrGuardedMutex,
  WrRundown,
  MaximumWaitReason
} KWAIT_REASON;

// Dispatcher object types (the Type byte of DISPATCHER_HEADER).
typedef enum _KOBJECTS {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  MutantObject = 2,
  ProcessObject = 3,
  QueueObject = 4,
  SemaphoreObject = 5,
  ThreadObject = 6,
  GateObject = 7,
  TimerNotificationObject = 8,
  TimerSynchronizationObject = 9,
  DpcObject = 19,
} KOBJECTS;

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;  // KWAIT_BLOCKs of the threads waiting on this object
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  struct _KTHREAD* OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef VOID(NTAPI KDEFERRED_ROUTINE)(struct _KDPC* Dpc, PVOID DeferredContext,
                                       PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance } KDPC_IMPORTANCE;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  volatile USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  volatile PVOID DpcData;  // non-NULL while the DPC is queued
} KDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;  // Header.Inserted: in the timer queue
  ULARGE_INTEGER DueTime;    // interrupt time of expiry while inserted
  LIST_ENTRY TimerListEntry;
  struct _KDPC* Dpc;
  ULONG Period;  // milliseconds, 0 for a one-shot timer
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;  // link in the object's WaitListHead
  struct _KTHREAD* Thread;
  PVOID Object;
  struct _KWAIT_BLOCK* NextWaitBlock;
  USHORT WaitKey;
  UCHAR WaitType;
  volatile UCHAR BlockState;
  LONG SpareLong;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

typedef struct _FAST_MUTEX {
  volatile LONG Count;  // 1 free, 0 owned, < 0 owned with waiters
  PKTHREAD Owner;
  ULONG Contention;
  KEVENT Event;
  ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES* PCOBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L
#define OBJ_VALID_ATTRIBUTES 0x000007F2L

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)

// Access rights.
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#define MAXIMUM_ALLOWED 0x02000000L
#define THREAD_TERMINATE 0x0001
#define THREAD_SUSPEND_RESUME 0x0002
#define THREAD_ALERT 0x0004
#define THREAD_GET_CONTEXT 0x0008
#define THREAD_SET_CONTEXT 0x0010
#define THREAD_SET_INFORMATION 0x0020
#define THREAD_QUERY_INFORMATION 0x0040
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3FF)

typedef VOID(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

// Thread priorities and priority boosts (KPRIORITY increments).
#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32
#define EVENT_INCREMENT 1
#define SEMAPHORE_INCREMENT 1
#define MUTANT_INCREMENT 1
#define TIMER_EXPIRED_INCREMENT 0

// ---------------------------------------------------------------------------------------------
// IRQL and spin locks
// ---------------------------------------------------------------------------------------------

NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
NTKERNELAPI VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTKERNELAPI VOID NTAPI KeLowerIrql(KIRQL NewIrql);
NTKERNELAPI KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID);

NTKERNELAPI VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTKERNELAPI KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
inline VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  *OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}
NTKERNELAPI VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

// ---------------------------------------------------------------------------------------------
// Fast mutexes
// ---------------------------------------------------------------------------------------------

NTKERNELAPI VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);

// ---------------------------------------------------------------------------------------------
// Dispatcher objects and waits
// ---------------------------------------------------------------------------------------------

NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI VOID NTAPI KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event);

NTKERNELAPI VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
NTKERNELAPI LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment,
                                          LONG Adjustment, BOOLEAN Wait);
NTKERNELAPI LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

NTKERNELAPI VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
NTKERNELAPI LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTKERNELAPI LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);

NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[],
                                                    WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                                    KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                    PLARGE_INTEGER Timeout,
                                                    PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Interval);

// ---------------------------------------------------------------------------------------------
// Timers and DPCs
// ---------------------------------------------------------------------------------------------

NTKERNELAPI VOID NTAPI KeInitializeTimer(PKTIMER Timer);
NTKERNELAPI VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
NTKERNELAPI BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTKERNELAPI BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period,
                                       PKDPC Dpc);
NTKERNELAPI BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);

NTKERNELAPI VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                       PVOID DeferredContext);
NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1,
                                           PVOID SystemArgument2);
NTKERNELAPI BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
NTKERNELAPI VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
NTKERNELAPI VOID NTAPI KeFlushQueuedDpcs(VOID);

// ---------------------------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------------------------

NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ACCESS_MASK DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes,
                                                HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                                PKSTART_ROUTINE StartRoutine, PVOID StartContext);
[[noreturn]] NTKERNELAPI NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
NTKERNELAPI KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
NTKERNELAPI KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread);
NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(VOID);
NTKERNELAPI PETHREAD NTAPI PsGetCurrentThread(VOID);
NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(VOID);
NTKERNELAPI BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread);
NTKERNELAPI ULONG NTAPI KeGetCurrentProcessorNumber(VOID);
NTKERNELAPI KAFFINITY NTAPI KeQueryActiveProcessors(VOID);

// ---------------------------------------------------------------------------------------------
// Interlocked operations
// ---------------------------------------------------------------------------------------------

NTKERNELAPI LONG FASTCALL InterlockedIncrement(LONG volatile* Addend);
NTKERNELAPI LONG FASTCALL InterlockedDecrement(LONG volatile* Addend);
NTKERNELAPI LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value);
NTKERNELAPI LONG FASTCALL InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                                     LONG Comparand);
NTKERNELAPI LONG FASTCALL InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
NTKERNELAPI LONG FASTCALL InterlockedOr(LONG volatile* Destination, LONG Value);
NTKERNELAPI LONG FASTCALL InterlockedAnd(LONG volatile* Destination, LONG Value);
NTKERNELAPI LONG FASTCALL InterlockedXor(LONG volatile* Destination, LONG Value);
NTKERNELAPI PVOID FASTCALL InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
NTKERNELAPI PVOID FASTCALL InterlockedCompareExchangePointer(PVOID volatile* Destination,
                                                             PVOID Exchange, PVOID Comparand);

// ---------------------------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------------------------

NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(VOID);
NTKERNELAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount);
NTKERNELAPI ULONG NTAPI KeQueryTimeIncrement(VOID);
NTKERNELAPI VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);
NTKERNELAPI ULONG NTAPI ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);

// ---------------------------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------------------------

NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---------------------------------------------------------------------------------------------
// Bug checks
// ---------------------------------------------------------------------------------------------

[[noreturn]] NTKERNELAPI VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                                                 ULONG_PTR BugCheckParameter2,
                                                 ULONG_PTR BugCheckParameter3,
                                                 ULONG_PTR BugCheckParameter4);
[[noreturn]] NTKERNELAPI VOID NTAPI KeBugCheck(ULONG BugCheckCode);
