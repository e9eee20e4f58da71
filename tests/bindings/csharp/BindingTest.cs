// The C# binding against the test library: BindingTest.exe layout, or
// BindingTest.exe behaviour SCENARIO_DIR (each case on a simulated machine of its own).
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using Vxdmount;

static class BindingTest
{
    const string Target = "iqn.2026-12.com.example:disk1";
    const string PortalAddress = "127.0.0.1";

    [DllImport(VxdNative.Library, CallingConvention = CallingConvention.Cdecl)]
    static extern int VxdSimLoadScenario(string path);

    static string scenarios, current;
    static int failures;

    static int Main(string[] args)
    {
        if (args.Length == 1 && args[0] == "layout")
            return Layout();
        if (args.Length != 2 || args[0] != "behaviour")
            throw new ArgumentException("usage: BindingTest.exe layout | behaviour SCENARIO_DIR");
        scenarios = args[1];
        Action[] cases = { Attach, Progress, Failure, Cancel, Chap, Multipath, Detach,
                           ListTargets };
        foreach (Action test in cases)
            Run(test.Method.Name, test);
        return failures == 0 ? 0 : 1;
    }

    static void Run(string name, Action test)
    {
        current = name;
        int before = failures;
        try
        {
            test();
        }
        catch (Exception e)
        {
            Check(false, "threw " + e);
        }
        if (failures == before)
            Console.WriteLine("ok " + name);
    }

    static void Check(bool condition, string what)
    {
        if (!condition)
        {
            failures++;
            Console.WriteLine("FAIL " + current + ": " + what);
        }
    }

    static void Load(string scenario)
    {
        if (VxdSimLoadScenario(Path.Combine(scenarios, scenario)) != 0)
            throw new InvalidOperationException("cannot load " + scenario);
    }

    static AttachOptions Options() => new AttachOptions(PortalAddress, Target);

    static T Throws<T>(Action call) where T : Exception
    {
        try
        {
            call();
        }
        catch (T e)
        {
            return e;
        }
        throw new InvalidOperationException("no " + typeof(T).Name);
    }

    // IProgress<string> that keeps each line as the binding reports it, on the caller's thread.
    sealed class Lines : List<string>, IProgress<string>
    {
        public Action<string> OnLine;

        public void Report(string line)
        {
            // A delegate that the binding does not keep alive loses its thunk here.
            GC.Collect();
            GC.WaitForPendingFinalizers();
            Add(line);
            OnLine?.Invoke(line);
        }
    }

    static void Attach()
    {
        Load("cs_attach.json");
        Lines lines = new Lines();
        AttachResult result = Vxd.Attach(Options(), lines);
        Check(result.Letters == "FH", "letters " + result.Letters);
        Check(!result.AlreadyLoggedIn && result.PathCount == 1, "a fresh login on one path");
        string disks = string.Join(" ", result.Disks.Select(
            d => d.Number + "/" + d.Lun + "/" + d.Attributes));
        Check(disks == "2/0/None 3/5/ReadOnly", "disks " + disks);
        Check(result.VolumeNames.Count == 2 && result.VolumeNames.Distinct().Count() == 2 &&
              result.VolumeNames.All(v => v.StartsWith(@"\\?\Volume{") && v.EndsWith(@"}\")),
              "volumes " + string.Join(" ", result.VolumeNames));
        Check(lines.Count > 1 && lines.All(l => l.StartsWith("VxdAttach: ")) &&
              lines.Any(l => l.Contains("F:")), "lines " + string.Join(" | ", lines));
    }

    // A handler's exception comes out of the call once, after it, and ends the reporting.
    static void Progress()
    {
        Load("cs_attach.json");
        Exception thrown = new InvalidOperationException("from the handler");
        Lines failing = new Lines();
        failing.OnLine = delegate { throw thrown; };
        Exception caught = Throws<InvalidOperationException>(() => Vxd.Attach(Options(), failing));
        Check(ReferenceEquals(caught, thrown), "the handler's exception is thrown: " + caught);
        Check(failing.Count == 1, failing.Count + " lines after the exception");
    }

    static void Failure()
    {
        Load("cs_login_refused.json");
        VxdException e = Throws<VxdException>(() => Vxd.Attach(Options()));
        Check(e.Status == VxdNative.VXD_STATUS_LOGIN_FAILED, "status " + e.Status);
        Check(e.StatusName == "VXD_STATUS_LOGIN_FAILED", "name " + e.StatusName);
        string text = Marshal.PtrToStringAnsi(VxdNative.VxdStatusText(e.Status));
        Check(text.Length > 0 && e.StatusText == text, "text " + e.StatusText);
        Check(e.ServiceStatus == 0xEFFF0012, "service status " + e.ServiceStatus.ToString("X"));
        Check(e.Message == "VxdAttach: " + text + " (VXD_STATUS_LOGIN_FAILED, service status " +
              "0xEFFF0012)", "message " + e.Message);
        byte[] secret = Encoding.ASCII.GetBytes("Example-Secret-1");
        AttachOptions portOnly = Options();
        portOnly.InitiatorPortNumber = 1;
        portOnly.ChapSecret = secret;
        Throws<ArgumentException>(() => Vxd.Attach(portOnly));
        Check(secret.All(b => b == 0), "a secret refused before the call is not wiped");
    }

    static void Cancel()
    {
        Load("cs_devices_late.json");
        CancellationTokenSource source = new CancellationTokenSource();
        Lines lines = new Lines();
        lines.OnLine = line => { if (line.Contains("logged in")) source.Cancel(); };
        OperationCanceledException e = Throws<OperationCanceledException>(
            () => Vxd.Attach(Options(), lines, source.Token));
        VxdException inner = e.InnerException as VxdException;
        Check(inner != null && inner.Status == VxdNative.VXD_STATUS_CANCELLED, "inner " + inner);
        Check(e.CancellationToken == source.Token, "the token");
        Check(lines.Any(l => l.Contains("logged in")), "cancelled before the login");
        // Cancelled already: nothing is sent, not even a first progress line.
        Lines none = new Lines();
        e = Throws<OperationCanceledException>(() => Vxd.Attach(Options(), none, source.Token));
        Check(e.InnerException == null && none.Count == 0, "a call made all the same");
    }

    static void Chap()
    {
        Load("cs_chap.json");
        byte[] wrong = Encoding.ASCII.GetBytes("Example-Secret-X");
        AttachOptions options = Options();
        options.ChapUserName = "storage-admin";
        options.ChapSecret = wrong;
        Lines lines = new Lines();
        VxdException e = Throws<VxdException>(() => Vxd.Attach(options, lines));
        Check(e.Status == VxdNative.VXD_STATUS_AUTH_FAILED, "status " + e.StatusName);
        Check(wrong.All(b => b == 0), "the wrong secret is not wiped");
        Check(!e.Message.Contains("Secret"), "the message shows the secret: " + e.Message);
        options.ChapSecret = Encoding.ASCII.GetBytes("Example-Secret-1");
        options.InitiatorSecret = Encoding.ASCII.GetBytes("Machine-Secret-2");
        options.Flags = AttachFlags.SetInitiatorSecret;
        AttachResult result = Vxd.Attach(options, lines);
        Check(result.Letters == "F", "letters " + result.Letters);
        Check(options.ChapSecret.All(b => b == 0) && options.InitiatorSecret.All(b => b == 0),
              "the right secrets are not wiped");
        Check(lines.Count > 0 && !lines.Any(l => l.Contains("Secret-")),
              "a progress line shows a secret");
    }

    static void Multipath()
    {
        Load("cs_multipath.json");
        // Two extra portals, so that the second sits where the array's stride puts it.
        AttachOptions options = Options();
        options.Flags = AttachFlags.Multipath;
        options.ExtraPortals.Add(new Portal(PortalAddress, 3261));
        options.ExtraPortals.Add(new Portal(PortalAddress, 3262));
        List<string> lines = new List<string>();
        AttachResult result = Vxd.Attach(options, new DirectProgress(lines.Add));
        Check(result.PathCount == 3 && result.Letters == "F", "paths " + result.PathCount);
        Check(lines.Any(l => l.Contains("path 127.0.0.1:3262: logged in")), "third path");
    }

    static void Detach()
    {
        Load("cs_attach.json");
        Vxd.Attach(Options());
        DetachResult result = Vxd.Detach(new DetachOptions(Target));
        Check(result.Letters == "FH" && result.SessionsLoggedOut == 1 && result.LettersInUse == "",
              "letters " + result.Letters + ", sessions " + result.SessionsLoggedOut);
        VxdException e = Throws<VxdException>(() => Vxd.Detach(new DetachOptions(Target)));
        Check(e.Status == VxdNative.VXD_STATUS_NOT_ATTACHED && e.DetachResult != null &&
              e.DetachResult.SessionsLoggedOut == 0, "again: " + e.Message);
    }

    static void ListTargets()
    {
        Load("cs_list_targets.json");
        string[] expected = { Target, "iqn.2026-12.com.example:logs" };
        uint needed = (uint)expected.Sum(n => n.Length + 1) + 1;
        VxdListTargetsRequest request = VxdListTargetsRequest.Create();
        request.portalAddress = Marshal.StringToHGlobalAnsi(PortalAddress);
        uint size = 0;
        int status = VxdNative.VxdListTargets(ref request, null, ref size);
        Check(status == VxdNative.VXD_STATUS_BUFFER_TOO_SMALL && size == needed,
              "asked the size: " + status + ", " + size);
        size = needed - 1;
        status = VxdNative.VxdListTargets(ref request, new byte[size], ref size);
        Check(status == VxdNative.VXD_STATUS_BUFFER_TOO_SMALL && size == needed,
              "one byte short: " + status + ", " + size);
        Marshal.FreeHGlobal(request.portalAddress);
        IReadOnlyList<string> names = Vxd.ListTargets(PortalAddress);
        Check(names.SequenceEqual(expected), "names " + string.Join(" ", names));
    }

    // Each field's offset and size and each structure's size, as this process's marshaller
    // lays the structures out and as a process of the other architecture would from the same
    // declarations; the walk that computes them is checked against the marshaller first.
    static int Layout()
    {
        Type[] types = { typeof(VxdPortal), typeof(VxdAttachRequest), typeof(VxdAttachResult),
                         typeof(VxdDetachRequest), typeof(VxdDetachResult),
                         typeof(VxdListTargetsRequest) };
        int other = IntPtr.Size == 8 ? 4 : 8;
        foreach (Type type in types)
        {
            List<string> marshalled = Fields(type).Select(
                f => f.Name + " " + Marshal.OffsetOf(type, f.Name)).ToList();
            marshalled.Add("sizeof " + Marshal.SizeOf(type));
            List<string[]> here = new List<string[]>(), there = new List<string[]>();
            Walk(type, IntPtr.Size, here);
            if (!here.Select(r => r[0] + " " + r[1]).SequenceEqual(marshalled))
                throw new InvalidOperationException("the walk of " + type.Name + " is not " +
                                                    "the marshaller's");
            Walk(type, other, there);
            foreach (string[] r in here)
                Console.WriteLine(Arch(IntPtr.Size) + " " + type.Name + " " + string.Join(" ", r));
            foreach (string[] r in there)
                Console.WriteLine(Arch(other) + " " + type.Name + " " + string.Join(" ", r));
        }
        return 0;
    }

    static string Arch(int pointerSize) => pointerSize == 8 ? "x64" : "x86";

    static IEnumerable<FieldInfo> Fields(Type type) => type.GetFields(
        BindingFlags.Instance | BindingFlags.Public | BindingFlags.NonPublic).OrderBy(
        f => f.MetadataToken);

    // Lays out type for a process with pointers of pointerSize bytes: each field at its
    // alignment (at most 8), the size rounded up to the largest. Adds {field, offset, size}
    // and {"sizeof", size} to records; returns the structure's size and alignment.
    static int[] Walk(Type type, int pointerSize, List<string[]> records)
    {
        int offset = 0, align = 1;
        int charSize = type.StructLayoutAttribute.CharSet == CharSet.Unicode ? 2 : 1;
        foreach (FieldInfo f in Fields(type))
        {
            MarshalAsAttribute m = f.GetCustomAttribute<MarshalAsAttribute>();
            int[] field;
            if (m != null && m.Value == UnmanagedType.ByValTStr)
                field = new[] { m.SizeConst * charSize, charSize };
            else if (m != null && m.Value == UnmanagedType.ByValArray)
                field = Element(f.FieldType.GetElementType(), pointerSize, m.SizeConst);
            else
                field = Element(f.FieldType, pointerSize, 1);
            int fieldAlign = Math.Min(field[1], 8);
            offset = (offset + fieldAlign - 1) / fieldAlign * fieldAlign;
            records?.Add(new[] { f.Name, offset.ToString(), field[0].ToString() });
            offset += field[0];
            align = Math.Max(align, fieldAlign);
        }
        int size = (offset + align - 1) / align * align;
        records?.Add(new[] { "sizeof", size.ToString() });
        return new[] { size, align };
    }

    // Size and alignment of count elements of type: pointers, integers or structures.
    static int[] Element(Type type, int pointerSize, int count)
    {
        int[] one;
        if (type == typeof(IntPtr) || typeof(Delegate).IsAssignableFrom(type))
            one = new[] { pointerSize, pointerSize };
        else if (type.IsPrimitive)
            one = new[] { Marshal.SizeOf(type), Marshal.SizeOf(type) };
        else if (type.IsValueType && !type.IsEnum)
            one = Walk(type, pointerSize, null);
        else
            throw new NotSupportedException(type + " in a raw structure");
        return new[] { one[0] * count, one[1] };
    }
}
