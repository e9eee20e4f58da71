// Vxdmount.cs: vxdmount.dll from C#. Add this one file to a project (netstandard2.0, .NET
// Framework 4.5 or later, mono) or load it in PowerShell with Add-Type -Path Vxdmount.cs.
//
// Two layers:
// - the raw one (VxdNative and the Vxd... structures) is the C header as it is: the same names,
//   the same layout on x86 and x64, every pointer an IntPtr that the caller fills and frees;
// - the idiomatic one (Vxd.Attach, Vxd.Detach, Vxd.ListTargets) marshals the options, turns
//   a CancellationToken into the cancel event, reports progress through IProgress<string>,
//   throws VxdException on a failure and wipes the caller's CHAP secrets whatever happens.
//
// The DLL is found as "vxdmount": vxdmount.dll beside the program or on PATH (in PowerShell,
// prepend its folder to $env:PATH before the first call). From PowerShell:
//
//   Add-Type -Path Vxdmount.cs
//   $options = [Vxdmount.AttachOptions]::new('192.0.2.10', 'iqn.2026-12.com.example:disk1')
//   $lines = [Vxdmount.DirectProgress]::new([Action[string]] { param($line) Write-Host $line })
//   $none = [System.Threading.CancellationToken]::None
//   [Vxdmount.Vxd]::Attach($options, $lines, $none).Letters
//
// Written in C# 5 on purpose: Windows PowerShell 5.1 compiles Add-Type sources with the C# 5
// compiler of .NET Framework, and refuses unsafe code.

using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.Runtime.ExceptionServices;
using System.Runtime.InteropServices;
using System.Threading;

namespace Vxdmount
{
    // One progress line, NUL-terminated ANSI text: read it with Marshal.PtrToStringAnsi. Called
    // on the thread that made the call, and only during it.
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate void VxdProgressFunction(IntPtr context, IntPtr line);

    // The structures follow the header field by field. Every header unsigned long is 32 bits on
    // Windows, so uint; every pointer is an IntPtr so that the layout is the header's on both
    // architectures and the caller decides how long each buffer lives. The progress fields
    // take Marshal.GetFunctionPointerForDelegate of a VxdProgressFunction that the caller
    // keeps alive (GC.KeepAlive) until the call returns.
    //
    // Structures cannot have parameterless constructors before C# 10: the ones with a size
    // field are made with a static Create(), which sets it and allocates the arrays.

    [StructLayout(LayoutKind.Sequential)]
    public struct VxdPortal
    {
        public IntPtr address; // dotted IPv4, ANSI, NUL-terminated
        public ushort port;    // 0: 3260

        public VxdPortal(IntPtr address, ushort port)
        {
            this.address = address;
            this.port = port;
        }
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct VxdAttachRequest
    {
        // initiatorPortNumber: any port of the initiator instance.
        public const uint AnyPort = 0xFFFFFFFF;

        public uint size;
        public IntPtr portalAddress;
        public ushort portalPort;
        public IntPtr targetName;
        public uint deviceWaitMs;
        public uint letterWaitMs;
        public IntPtr cancelEvent;
        public IntPtr progress;
        public IntPtr progressContext;
        public uint flags;
        public IntPtr chapUserName;
        public IntPtr chapSecret;
        public uint chapSecretLength;
        public IntPtr initiatorSecret;
        public uint initiatorSecretLength;
        public IntPtr mountFolder;
        public IntPtr extraPortals; // VxdPortal[extraPortalCount] in unmanaged memory
        public uint extraPortalCount;
        public uint lun;
        public IntPtr initiatorInstance;
        public uint initiatorPortNumber;

        public static VxdAttachRequest Create()
        {
            VxdAttachRequest request = new VxdAttachRequest();
            request.size = (uint)Marshal.SizeOf(typeof(VxdAttachRequest));
            // Only read with initiatorInstance, but a caller who sets the instance alone
            // should get any port rather than port 0.
            request.initiatorPortNumber = AnyPort;
            return request;
        }
    }

    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
    public struct VxdAttachResult
    {
        public const int MaxDisks = 26;
        public const int MaxVolumes = 8;
        public const int VolumeNameLength = 50;

        public uint size;
        public int status;
        public uint serviceStatus;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 27)]
        public string letters;
        public uint diskCount;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = MaxDisks)]
        public uint[] diskNumbers;
        public int alreadyLoggedIn;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = MaxDisks)]
        public uint[] diskAttributes;
        public uint volumeCount;
        // char[8][50]: read one with VolumeName(i).
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = MaxVolumes * VolumeNameLength)]
        public byte[] volumeNames;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 27)]
        public string assignedLetters;
        public uint pathCount;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = MaxDisks)]
        public uint[] diskLuns;

        public static VxdAttachResult Create()
        {
            VxdAttachResult result = new VxdAttachResult();
            result.size = (uint)Marshal.SizeOf(typeof(VxdAttachResult));
            result.letters = "";
            result.diskNumbers = new uint[MaxDisks];
            result.diskAttributes = new uint[MaxDisks];
            result.volumeNames = new byte[MaxVolumes * VolumeNameLength];
            result.assignedLetters = "";
            result.diskLuns = new uint[MaxDisks];
            return result;
        }

        // The volume name at index (0 to 7), "\\?\Volume{GUID}\", or "" past volumeCount.
        public string VolumeName(int index)
        {
            if (index < 0 || index >= MaxVolumes)
                throw new ArgumentOutOfRangeException("index");
            return VxdText.FromAnsi(volumeNames, index * VolumeNameLength, VolumeNameLength);
        }
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct VxdDetachRequest
    {
        public uint size;
        public IntPtr targetName;
        public IntPtr portalAddress;
        public ushort portalPort;
        public uint flags;
        public IntPtr progress;
        public IntPtr progressContext;
        public uint lun;

        public static VxdDetachRequest Create()
        {
            VxdDetachRequest request = new VxdDetachRequest();
            request.size = (uint)Marshal.SizeOf(typeof(VxdDetachRequest));
            return request;
        }
    }

    [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
    public struct VxdDetachResult
    {
        public uint size;
        public int status;
        public uint serviceStatus;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 27)]
        public string letters;
        public uint sessionsLoggedOut;
        public uint persistentLoginsRemoved;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 27)]
        public string lettersInUse;

        public static VxdDetachResult Create()
        {
            VxdDetachResult result = new VxdDetachResult();
            result.size = (uint)Marshal.SizeOf(typeof(VxdDetachResult));
            result.letters = "";
            result.lettersInUse = "";
            return result;
        }
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct VxdListTargetsRequest
    {
        public uint size;
        public IntPtr portalAddress;
        public ushort portalPort;
        public IntPtr chapUserName;
        public IntPtr chapSecret;
        public uint chapSecretLength;
        public IntPtr progress;
        public IntPtr progressContext;

        public static VxdListTargetsRequest Create()
        {
            VxdListTargetsRequest request = new VxdListTargetsRequest();
            request.size = (uint)Marshal.SizeOf(typeof(VxdListTargetsRequest));
            return request;
        }
    }

    // The exports and the header's constants. Cdecl is spelled out on every import: it is the
    // DLL's convention on x86 whatever the caller's default, and .NET's default is stdcall.
    public static class VxdNative
    {
        public const string Library = "vxdmount";

        public const int VXD_STATUS_OK = 0;
        public const int VXD_STATUS_INVALID_ARGUMENT = 1;
        public const int VXD_STATUS_SERVICE_UNAVAILABLE = 2;
        public const int VXD_STATUS_PORTAL_FAILED = 3;
        public const int VXD_STATUS_LOGIN_FAILED = 4;
        public const int VXD_STATUS_AUTH_FAILED = 5;
        public const int VXD_STATUS_NO_DEVICE = 6;
        public const int VXD_STATUS_NO_LETTER = 7;
        public const int VXD_STATUS_CANCELLED = 8;
        public const int VXD_STATUS_NOT_ATTACHED = 9;
        public const int VXD_STATUS_VOLUME_IN_USE = 10;
        public const int VXD_STATUS_LOGOUT_FAILED = 11;
        public const int VXD_STATUS_OUT_OF_MEMORY = 12;
        public const int VXD_STATUS_INTERNAL_ERROR = 13;
        public const int VXD_STATUS_DISK_OFFLINE = 14;
        public const int VXD_STATUS_DISK_COLLISION = 15;
        public const int VXD_STATUS_NO_VOLUME = 16;
        public const int VXD_STATUS_MOUNT_FAILED = 17;
        public const int VXD_STATUS_MULTIPATH_UNCLAIMED = 18;
        public const int VXD_STATUS_BUFFER_TOO_SMALL = 19;

        public const uint VXD_ATTACH_KEEP_ON_FAILURE = 0x1;
        public const uint VXD_ATTACH_DISCOVERY_CHAP = 0x2;
        public const uint VXD_ATTACH_SET_INITIATOR_SECRET = 0x4;
        public const uint VXD_ATTACH_MUTUAL_CHAP = 0x8;
        public const uint VXD_ATTACH_BRING_ONLINE = 0x10;
        public const uint VXD_ATTACH_ASSIGN_LETTER = 0x20;
        public const uint VXD_ATTACH_MULTIPATH = 0x40;
        public const uint VXD_ATTACH_ONE_LUN = 0x80;
        public const uint VXD_ATTACH_NO_LOGIN = 0x100;

        public const uint VXD_DETACH_FORCE = 0x1;
        public const uint VXD_DETACH_REMOVE_PORTAL = 0x2;
        public const uint VXD_DETACH_ONE_LUN = 0x4;

        public const uint VXD_DISK_OFFLINE = 0x01;
        public const uint VXD_DISK_READ_ONLY = 0x02;
        public const uint VXD_DISK_BROUGHT_ONLINE = 0x04;
        public const uint VXD_DISK_MADE_WRITABLE = 0x08;
        public const uint VXD_DISK_COLLISION = 0x10;
        public const uint VXD_DISK_NO_VOLUME = 0x20;
        public const uint VXD_DISK_STATE_UNKNOWN = 0x40;

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true,
                   CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int CreateVXD(string portalAddress, string portalPort,
                                           string targetName, string extra1, string extra2);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int VxdAttach(ref VxdAttachRequest request,
                                           ref VxdAttachResult result);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int VxdDetach(ref VxdDetachRequest request,
                                           ref VxdDetachResult result);

        // names may be null when namesSize is 0; the array is pinned, so the DLL writes into it.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int VxdListTargets(ref VxdListTargetsRequest request,
                                                [In, Out] byte[] names, ref uint namesSize);

        // Static text of the DLL's: read with Marshal.PtrToStringAnsi, never free it.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern IntPtr VxdStatusText(int status);
    }

    [Flags]
    public enum AttachFlags : uint
    {
        None = 0,
        KeepOnFailure = VxdNative.VXD_ATTACH_KEEP_ON_FAILURE,
        DiscoveryChap = VxdNative.VXD_ATTACH_DISCOVERY_CHAP,
        SetInitiatorSecret = VxdNative.VXD_ATTACH_SET_INITIATOR_SECRET,
        MutualChap = VxdNative.VXD_ATTACH_MUTUAL_CHAP,
        BringOnline = VxdNative.VXD_ATTACH_BRING_ONLINE,
        AssignLetter = VxdNative.VXD_ATTACH_ASSIGN_LETTER,
        Multipath = VxdNative.VXD_ATTACH_MULTIPATH,
        OneLun = VxdNative.VXD_ATTACH_ONE_LUN,
        NoLogin = VxdNative.VXD_ATTACH_NO_LOGIN
    }

    [Flags]
    public enum DetachFlags : uint
    {
        None = 0,
        Force = VxdNative.VXD_DETACH_FORCE,
        RemovePortal = VxdNative.VXD_DETACH_REMOVE_PORTAL,
        OneLun = VxdNative.VXD_DETACH_ONE_LUN
    }

    [Flags]
    public enum DiskAttributes : uint
    {
        None = 0,
        Offline = VxdNative.VXD_DISK_OFFLINE,
        ReadOnly = VxdNative.VXD_DISK_READ_ONLY,
        BroughtOnline = VxdNative.VXD_DISK_BROUGHT_ONLINE,
        MadeWritable = VxdNative.VXD_DISK_MADE_WRITABLE,
        Collision = VxdNative.VXD_DISK_COLLISION,
        NoVolume = VxdNative.VXD_DISK_NO_VOLUME,
        StateUnknown = VxdNative.VXD_DISK_STATE_UNKNOWN
    }

    public sealed class Portal
    {
        public Portal(string address, ushort port = 0)
        {
            Address = address;
            Port = port;
        }

        public string Address { get; set; } // dotted IPv4
        public ushort Port { get; set; }     // 0: 3260
    }

    // Hands each line to an action at once, on the thread that reports it. Progress<T> posts
    // its lines to a synchronization context or the thread pool instead: they arrive late, out
    // of the call, and a PowerShell script block cannot run there.
    public sealed class DirectProgress : IProgress<string>
    {
        readonly Action<string> action;

        public DirectProgress(Action<string> action)
        {
            if (action == null)
                throw new ArgumentNullException("action");
            this.action = action;
        }

        public void Report(string value)
        {
            action(value);
        }
    }

    public sealed class AttachOptions
    {
        public const uint AnyPort = VxdAttachRequest.AnyPort;

        public AttachOptions()
        {
            ExtraPortals = new List<Portal>();
            InitiatorPortNumber = AnyPort;
        }

        public AttachOptions(string portalAddress, string targetName) : this()
        {
            PortalAddress = portalAddress;
            TargetName = targetName;
        }

        public string PortalAddress { get; set; }
        public ushort PortalPort { get; set; }   // 0: 3260
        public string TargetName { get; set; }
        public TimeSpan DeviceWait { get; set; } // zero: the DLL's 60 s
        public TimeSpan LetterWait { get; set; } // zero: the DLL's 120 s
        public AttachFlags Flags { get; set; }
        public string ChapUserName { get; set; } // null: no CHAP
        // The secrets are bytes (Windows takes 12 to 16). Attach zeroes these arrays when it
        // returns or throws, so that no copy outlives the call: pass arrays of your own.
        public byte[] ChapSecret { get; set; }
        public byte[] InitiatorSecret { get; set; } // with AttachFlags.SetInitiatorSecret
        public string MountFolder { get; set; }     // an empty NTFS folder, in place of a letter
        public IList<Portal> ExtraPortals { get; set; } // with AttachFlags.Multipath, up to 7
        public uint Lun { get; set; }                   // with AttachFlags.OneLun
        public string InitiatorInstance { get; set; }   // null: any initiator
        public uint InitiatorPortNumber { get; set; }   // with InitiatorInstance; AnyPort: any
    }

    public sealed class DetachOptions
    {
        public DetachOptions() { }

        public DetachOptions(string targetName)
        {
            TargetName = targetName;
        }

        public string TargetName { get; set; }
        public string PortalAddress { get; set; } // with DetachFlags.RemovePortal
        public ushort PortalPort { get; set; }    // 0: 3260
        public DetachFlags Flags { get; set; }
        public uint Lun { get; set; }             // with DetachFlags.OneLun
    }

    public sealed class ListTargetsOptions
    {
        public string PortalAddress { get; set; } // null: the targets the initiator knows
        public ushort PortalPort { get; set; }    // 0: 3260
        public string ChapUserName { get; set; }  // discovery CHAP; null: none
        public byte[] ChapSecret { get; set; }    // zeroed by ListTargets, as by Attach
    }

    public sealed class AttachedDisk
    {
        internal AttachedDisk(uint number, DiskAttributes attributes, uint lun)
        {
            Number = number;
            Attributes = attributes;
            Lun = lun;
        }

        public uint Number { get; private set; } // \\.\PhysicalDriveN
        public DiskAttributes Attributes { get; private set; }
        public uint Lun { get; private set; }
    }

    public sealed class AttachResult
    {
        internal AttachResult(VxdAttachResult raw)
        {
            Letters = raw.letters ?? "";
            AssignedLetters = raw.assignedLetters ?? "";
            AlreadyLoggedIn = raw.alreadyLoggedIn != 0;
            PathCount = raw.pathCount;
            // The counts come from the DLL; clamped so that a wrong one cannot overrun.
            int diskCount = (int)Math.Min(raw.diskCount, (uint)VxdAttachResult.MaxDisks);
            List<AttachedDisk> disks = new List<AttachedDisk>(diskCount);
            for (int i = 0; i < diskCount; i++)
            {
                disks.Add(new AttachedDisk(raw.diskNumbers[i],
                                           (DiskAttributes)raw.diskAttributes[i],
                                           raw.diskLuns[i]));
            }
            Disks = disks.AsReadOnly();
            int volumeCount = (int)Math.Min(raw.volumeCount, (uint)VxdAttachResult.MaxVolumes);
            List<string> volumes = new List<string>(volumeCount);
            for (int i = 0; i < volumeCount; i++)
                volumes.Add(raw.VolumeName(i));
            VolumeNames = volumes.AsReadOnly();
        }

        public string Letters { get; private set; } // the target's volumes' letters: "FH"
        public IReadOnlyList<AttachedDisk> Disks { get; private set; }
        public IReadOnlyList<string> VolumeNames { get; private set; } // "\\?\Volume{GUID}\"
        public string AssignedLetters { get; private set; } // those that this call gave
        public uint PathCount { get; private set; }
        public bool AlreadyLoggedIn { get; private set; }
    }

    public sealed class DetachResult
    {
        internal DetachResult(VxdDetachResult raw)
        {
            Letters = raw.letters ?? "";
            SessionsLoggedOut = raw.sessionsLoggedOut;
            PersistentLoginsRemoved = raw.persistentLoginsRemoved;
            LettersInUse = raw.lettersInUse ?? "";
        }

        public string Letters { get; private set; } // taken away
        public uint SessionsLoggedOut { get; private set; }
        public uint PersistentLoginsRemoved { get; private set; }
        public string LettersInUse { get; private set; } // whose volumes could not be locked
    }

    // A call that the DLL answered with a status other than VXD_STATUS_OK. The message names
    // the call, the status and the service's status, and never a credential.
    public sealed class VxdException : Exception
    {
        public VxdException(string operation, int status, uint serviceStatus)
            : base(Describe(operation, status, serviceStatus))
        {
            Operation = operation;
            Status = status;
            ServiceStatus = serviceStatus;
            StatusName = Vxd.StatusName(status);
            StatusText = Vxd.StatusText(status);
        }

        internal VxdException(string operation, int status, uint serviceStatus,
                              AttachResult attachResult, DetachResult detachResult)
            : this(operation, status, serviceStatus)
        {
            AttachResult = attachResult;
            DetachResult = detachResult;
        }

        public string Operation { get; private set; } // "VxdAttach"
        public int Status { get; private set; }
        public string StatusName { get; private set; } // "VXD_STATUS_LOGIN_FAILED"
        public string StatusText { get; private set; } // VxdStatusText's words
        public uint ServiceStatus { get; private set; } // 0 where the DLL gives none
        // What the DLL answered along with the failure: the disks and volumes that an attach
        // saw, the counts and the letters in use of a detach.
        public AttachResult AttachResult { get; private set; }
        public DetachResult DetachResult { get; private set; }

        static string Describe(string operation, int status, uint serviceStatus)
        {
            string text = string.Format("{0}: {1} ({2}", operation, Vxd.StatusText(status),
                                        Vxd.StatusName(status));
            if (serviceStatus != 0)
                text += string.Format(", service status 0x{0:X8}", serviceStatus);
            return text + ")";
        }
    }

    public static class Vxd
    {
        // The DLL's version, which this file was tested with.
        public const string Version = "1.5.0";

        // A list that keeps growing between the size query and the call is asked this often.
        const int ListAttempts = 5;

        static readonly string[] StatusNames = {
            "VXD_STATUS_OK", "VXD_STATUS_INVALID_ARGUMENT", "VXD_STATUS_SERVICE_UNAVAILABLE",
            "VXD_STATUS_PORTAL_FAILED", "VXD_STATUS_LOGIN_FAILED", "VXD_STATUS_AUTH_FAILED",
            "VXD_STATUS_NO_DEVICE", "VXD_STATUS_NO_LETTER", "VXD_STATUS_CANCELLED",
            "VXD_STATUS_NOT_ATTACHED", "VXD_STATUS_VOLUME_IN_USE", "VXD_STATUS_LOGOUT_FAILED",
            "VXD_STATUS_OUT_OF_MEMORY", "VXD_STATUS_INTERNAL_ERROR", "VXD_STATUS_DISK_OFFLINE",
            "VXD_STATUS_DISK_COLLISION", "VXD_STATUS_NO_VOLUME", "VXD_STATUS_MOUNT_FAILED",
            "VXD_STATUS_MULTIPATH_UNCLAIMED", "VXD_STATUS_BUFFER_TOO_SMALL"
        };

        // Attaches the target and blocks until its volumes have their letters (or its folder).
        // Progress lines go to progress.Report on this thread, as the DLL writes them; an
        // exception thrown by the handler ends the reporting and is thrown again once the DLL
        // has returned (the attach itself may then have succeeded). A cancel of the token
        // signals the call's cancel event and ends in OperationCanceledException; a token that
        // is cancelled already throws it before anything is sent.
        public static AttachResult Attach(AttachOptions options, IProgress<string> progress = null,
                                          CancellationToken cancellationToken =
                                              default(CancellationToken))
        {
            CallScope scope = new CallScope();
            try
            {
                if (options == null)
                    throw new ArgumentNullException("options");
                VxdAttachRequest request = VxdAttachRequest.Create();
                request.chapSecret = scope.Secret(options.ChapSecret, out request.chapSecretLength);
                request.initiatorSecret = scope.Secret(options.InitiatorSecret,
                                                       out request.initiatorSecretLength);
                // The DLL never reads the port without the instance: refuse what it would ignore.
                if (options.InitiatorInstance == null &&
                    options.InitiatorPortNumber != AttachOptions.AnyPort)
                    throw new ArgumentException("InitiatorPortNumber needs InitiatorInstance",
                                                "options");
                cancellationToken.ThrowIfCancellationRequested();
                request.portalAddress = scope.Ansi(options.PortalAddress);
                request.portalPort = options.PortalPort;
                request.targetName = scope.Ansi(options.TargetName);
                request.deviceWaitMs = Milliseconds(options.DeviceWait, "DeviceWait");
                request.letterWaitMs = Milliseconds(options.LetterWait, "LetterWait");
                request.flags = (uint)options.Flags;
                request.chapUserName = scope.Ansi(options.ChapUserName);
                request.mountFolder = scope.Ansi(options.MountFolder);
                request.extraPortals = scope.Portals(options.ExtraPortals,
                                                     out request.extraPortalCount);
                request.lun = options.Lun;
                request.initiatorInstance = scope.Ansi(options.InitiatorInstance);
                request.initiatorPortNumber = options.InitiatorPortNumber;

                VxdAttachResult result = VxdAttachResult.Create();
                ProgressSink sink = new ProgressSink(progress);
                request.progress = sink.Pointer;
                int status;
                using (CancelEvent cancel = new CancelEvent(cancellationToken))
                {
                    request.cancelEvent = cancel.Handle;
                    status = VxdNative.VxdAttach(ref request, ref result);
                }
                sink.AfterCall();
                if (status != VxdNative.VXD_STATUS_OK)
                {
                    VxdException error = new VxdException("VxdAttach", status,
                                                          result.serviceStatus,
                                                          new AttachResult(result), null);
                    if (status == VxdNative.VXD_STATUS_CANCELLED &&
                        cancellationToken.IsCancellationRequested)
                        throw new OperationCanceledException(error.Message, error,
                                                             cancellationToken);
                    throw error;
                }
                return new AttachResult(result);
            }
            finally
            {
                scope.Dispose();
            }
        }

        // Takes the target away: its volumes dismounted, its sessions logged out, its
        // persistent logins removed. Progress as for Attach.
        public static DetachResult Detach(DetachOptions options, IProgress<string> progress = null)
        {
            if (options == null)
                throw new ArgumentNullException("options");
            CallScope scope = new CallScope();
            try
            {
                VxdDetachRequest request = VxdDetachRequest.Create();
                request.targetName = scope.Ansi(options.TargetName);
                request.portalAddress = scope.Ansi(options.PortalAddress);
                request.portalPort = options.PortalPort;
                request.flags = (uint)options.Flags;
                request.lun = options.Lun;
                VxdDetachResult result = VxdDetachResult.Create();
                ProgressSink sink = new ProgressSink(progress);
                request.progress = sink.Pointer;
                int status = VxdNative.VxdDetach(ref request, ref result);
                sink.AfterCall();
                if (status != VxdNative.VXD_STATUS_OK)
                {
                    throw new VxdException("VxdDetach", status, result.serviceStatus, null,
                                           new DetachResult(result));
                }
                return new DetachResult(result);
            }
            finally
            {
                scope.Dispose();
            }
        }

        public static IReadOnlyList<string> ListTargets(string portalAddress, ushort portalPort = 0,
                                                        string chapUserName = null,
                                                        byte[] chapSecret = null,
                                                        IProgress<string> progress = null)
        {
            ListTargetsOptions options = new ListTargetsOptions();
            options.PortalAddress = portalAddress;
            options.PortalPort = portalPort;
            options.ChapUserName = chapUserName;
            options.ChapSecret = chapSecret;
            return ListTargets(options, progress);
        }

        // The targets that the portal offers, in the service's order. The list's size is
        // asked first; a list that grew meanwhile is asked again with the new size.
        public static IReadOnlyList<string> ListTargets(ListTargetsOptions options,
                                                        IProgress<string> progress = null)
        {
            CallScope scope = new CallScope();
            try
            {
                if (options == null)
                    throw new ArgumentNullException("options");
                VxdListTargetsRequest request = VxdListTargetsRequest.Create();
                request.chapSecret = scope.Secret(options.ChapSecret, out request.chapSecretLength);
                request.portalAddress = scope.Ansi(options.PortalAddress);
                request.portalPort = options.PortalPort;
                request.chapUserName = scope.Ansi(options.ChapUserName);
                ProgressSink sink = new ProgressSink(progress);
                request.progress = sink.Pointer;
                byte[] names = null;
                uint size = 0;
                for (int attempt = 1; ; attempt++)
                {
                    int status = VxdNative.VxdListTargets(ref request, names, ref size);
                    sink.AfterCall();
                    if (status == VxdNative.VXD_STATUS_OK)
                        return SplitNames(names, size);
                    // Asked again only for a size larger than the buffer, so that a DLL that
                    // keeps answering the same size cannot loop.
                    uint had = names == null ? 0 : (uint)names.Length;
                    if (status != VxdNative.VXD_STATUS_BUFFER_TOO_SMALL || size <= had ||
                        attempt == ListAttempts)
                        throw new VxdException("VxdListTargets", status, 0);
                    names = new byte[size];
                }
            }
            finally
            {
                scope.Dispose();
            }
        }

        // VxdStatusText's few words for a status: "the portal could not be registered".
        public static string StatusText(int status)
        {
            return Marshal.PtrToStringAnsi(VxdNative.VxdStatusText(status)) ?? "";
        }

        // The header's name of a status, "VXD_STATUS_LOGIN_FAILED"; a number that this file
        // does not know (from a later DLL) as "status 20".
        public static string StatusName(int status)
        {
            if (status >= 0 && status < StatusNames.Length)
                return StatusNames[status];
            return "status " + status;
        }

        static uint Milliseconds(TimeSpan wait, string name)
        {
            const long Tick = TimeSpan.TicksPerMillisecond;
            if (wait < TimeSpan.Zero || wait.Ticks > uint.MaxValue * Tick)
                throw new ArgumentOutOfRangeException(name);
            // Rounded up: a wait below a millisecond must not become 0, the DLL's default.
            return (uint)((wait.Ticks + Tick - 1) / Tick);
        }

        static IReadOnlyList<string> SplitNames(byte[] names, uint size)
        {
            List<string> list = new List<string>();
            int end = names == null ? 0 : (int)Math.Min(size, (uint)names.Length);
            int start = 0;
            while (start < end && names[start] != 0)
            {
                int stop = Array.IndexOf(names, (byte)0, start, end - start);
                if (stop < 0)
                    stop = end;
                list.Add(VxdText.FromAnsi(names, start, stop - start));
                start = stop + 1;
            }
            return list.AsReadOnly();
        }
    }

    static class VxdText
    {
        // Text of at most count bytes from start, up to a NUL, decoded as the DLL's ANSI text.
        internal static string FromAnsi(byte[] bytes, int start, int count)
        {
            if (bytes == null)
                return "";
            int stop = Array.IndexOf(bytes, (byte)0, start, count);
            int length = (stop < 0 ? start + count : stop) - start;
            if (length == 0)
                return "";
            GCHandle pin = GCHandle.Alloc(bytes, GCHandleType.Pinned);
            try
            {
                return Marshal.PtrToStringAnsi(IntPtr.Add(pin.AddrOfPinnedObject(), start),
                                               length);
            }
            finally
            {
                pin.Free();
            }
        }
    }

    // What one call lends the DLL: ANSI copies of strings and the portals' array (freed), the
    // caller's secrets (pinned in place so that no copy is made, then zeroed and unpinned).
    sealed class CallScope : IDisposable
    {
        readonly List<IntPtr> blocks = new List<IntPtr>();
        readonly List<GCHandle> pins = new List<GCHandle>();
        readonly List<byte[]> secrets = new List<byte[]>();

        internal IntPtr Ansi(string text)
        {
            if (text == null)
                return IntPtr.Zero;
            IntPtr block = Marshal.StringToHGlobalAnsi(text);
            blocks.Add(block);
            return block;
        }

        internal IntPtr Secret(byte[] secret, out uint length)
        {
            length = 0;
            if (secret == null)
                return IntPtr.Zero;
            // Listed before pinning: zeroed even when pinning fails.
            secrets.Add(secret);
            GCHandle pin = GCHandle.Alloc(secret, GCHandleType.Pinned);
            pins.Add(pin);
            length = (uint)secret.Length;
            return pin.AddrOfPinnedObject();
        }

        internal IntPtr Portals(IList<Portal> portals, out uint count)
        {
            count = 0;
            if (portals == null || portals.Count == 0)
                return IntPtr.Zero;
            int stride = Marshal.SizeOf(typeof(VxdPortal));
            IntPtr array = Marshal.AllocHGlobal(stride * portals.Count);
            blocks.Add(array);
            for (int i = 0; i < portals.Count; i++)
            {
                Portal portal = portals[i];
                if (portal == null)
                    throw new ArgumentException("ExtraPortals holds null", "options");
                VxdPortal native = new VxdPortal(Ansi(portal.Address), portal.Port);
                Marshal.StructureToPtr(native, IntPtr.Add(array, i * stride), false);
            }
            count = (uint)portals.Count;
            return array;
        }

        public void Dispose()
        {
            foreach (byte[] secret in secrets)
                Array.Clear(secret, 0, secret.Length);
            foreach (GCHandle pin in pins)
                pin.Free();
            foreach (IntPtr block in blocks)
                Marshal.FreeHGlobal(block);
            secrets.Clear();
            pins.Clear();
            blocks.Clear();
        }
    }

    // Hands the DLL's progress lines to an IProgress<string> on the calling thread. An
    // exception must not unwind through the DLL's frames: it is kept and thrown after the call.
    sealed class ProgressSink
    {
        readonly IProgress<string> progress;
        readonly VxdProgressFunction callback;
        readonly IntPtr pointer;
        ExceptionDispatchInfo failure;

        internal ProgressSink(IProgress<string> progress)
        {
            this.progress = progress;
            if (progress != null)
            {
                callback = OnLine;
                pointer = Marshal.GetFunctionPointerForDelegate(callback);
            }
        }

        internal IntPtr Pointer
        {
            get { return pointer; }
        }

        // Called after each call of the DLL: until then the delegate must stay reachable, or
        // the collector may free the thunk that the DLL calls.
        internal void AfterCall()
        {
            GC.KeepAlive(callback);
            if (failure != null)
                failure.Throw();
        }

        void OnLine(IntPtr context, IntPtr line)
        {
            if (failure != null)
                return;
            try
            {
                string text = Marshal.PtrToStringAnsi(line);
                if (text != null)
                    progress.Report(text);
            }
            catch (Exception e)
            {
                failure = ExceptionDispatchInfo.Capture(e);
            }
        }
    }

    // A CancellationToken as the manual-reset event that VxdAttach waits on.
    sealed class CancelEvent : IDisposable
    {
        IntPtr handle;
        CancellationTokenRegistration registration;

        internal CancelEvent(CancellationToken token)
        {
            if (!token.CanBeCanceled)
                return;
            handle = Kernel32.CreateEventW(IntPtr.Zero, true, false, null);
            if (handle == IntPtr.Zero)
                throw new Win32Exception(Marshal.GetLastWin32Error());
            IntPtr signalled = handle;
            try
            {
                // Runs at once when the token was cancelled after the caller's check.
                registration = token.Register(delegate { Kernel32.SetEvent(signalled); });
            }
            catch
            {
                Kernel32.CloseHandle(handle);
                handle = IntPtr.Zero;
                throw;
            }
        }

        internal IntPtr Handle
        {
            get { return handle; }
        }

        public void Dispose()
        {
            // Dispose waits for a SetEvent running on another thread: only then is the handle
            // closed.
            registration.Dispose();
            if (handle != IntPtr.Zero)
            {
                Kernel32.CloseHandle(handle);
                handle = IntPtr.Zero;
            }
        }
    }

    // Windows' own API, stdcall (WINAPI): no CallingConvention here, the default is right.
    static class Kernel32
    {
        [DllImport("kernel32.dll", SetLastError = true, CharSet = CharSet.Unicode,
                   ExactSpelling = true)]
        internal static extern IntPtr CreateEventW(
            IntPtr attributes, [MarshalAs(UnmanagedType.Bool)] bool manualReset,
            [MarshalAs(UnmanagedType.Bool)] bool initialState, string name);

        [DllImport("kernel32.dll", SetLastError = true, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool SetEvent(IntPtr handle);

        [DllImport("kernel32.dll", SetLastError = true, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool CloseHandle(IntPtr handle);
    }
}
