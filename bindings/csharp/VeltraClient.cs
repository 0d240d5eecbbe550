// A thin layer over Veltra.Native: strings in and out, buffers sized from the
// header's constants, failures as VeltraException, the raw channel as an
// IDisposable. Veltra.Native (Veltra.cs) is generated; this file is not.
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

namespace Veltra
{
    /// <summary>A result code of the map: its name, value and meaning.</summary>
    public sealed class ResultInfo
    {
        public readonly string Name;
        public readonly int Code;
        public readonly string Meaning;

        public ResultInfo(string name, int code, string meaning)
        {
            Name = name;
            Code = code;
            Meaning = meaning;
        }
    }

    public static partial class Native
    {
        /// <summary>The map's entry for a code, or null.</summary>
        public static ResultInfo FindResult(int code)
        {
            foreach (ResultInfo r in Results)
                if (r.Code == code)
                    return r;
            return null;
        }

        [DllImport("kernel32", CharSet = CharSet.Ansi)]
        static extern IntPtr GetModuleHandleA(string name);
        [DllImport("kernel32", CharSet = CharSet.Ansi)]
        static extern IntPtr GetProcAddress(IntPtr module, string name);
        [DllImport("libdl.so.2")]
        static extern IntPtr dlopen(string file, int flags);
        [DllImport("libdl.so.2")]
        static extern IntPtr dlsym(IntPtr handle, string name);
        [DllImport("libdl.so.2")]
        static extern int dlclose(IntPtr handle);

        // P/Invoke cannot import data: the loader finds the exported array in
        // the library the declarations above have already loaded.
        static string[] ReadTextList(string symbol)
        {
            // A call loads the library, if nothing has yet.
            ecr_get_ver(new StringBuilder(ECR_VER_BUFSIZE));
            IntPtr list;
            if (Environment.OSVersion.Platform == PlatformID.Win32NT)
            {
                list = GetProcAddress(GetModuleHandleA("VELTRA.dll"), symbol);
            }
            else
            {
                // RTLD_LAZY | RTLD_NOLOAD: the copy already loaded, found by
                // its soname wherever it was loaded from.
                IntPtr lib = dlopen("libveltra.so.1", 1 | 4);
                if (lib == IntPtr.Zero)
                    throw new DllNotFoundException("libveltra.so.1 is not loaded");
                list = dlsym(lib, symbol);
                dlclose(lib);
            }
            if (list == IntPtr.Zero)
                throw new EntryPointNotFoundException(symbol);
            var names = new List<string>();
            for (int i = 0;; i++)
            {
                IntPtr s = Marshal.ReadIntPtr(list, i * IntPtr.Size);
                if (s == IntPtr.Zero)
                    break;
                names.Add(Marshal.PtrToStringAnsi(s));
            }
            return names.ToArray();
        }
    }

    /// <summary>A failure result of the library.</summary>
    public sealed class VeltraException : Exception
    {
        public readonly int Code;
        public readonly string Name;
        public readonly string Meaning;
        public readonly string Function;

        public VeltraException(int code, string function)
            : base(Describe(code, function))
        {
            Code = code;
            ResultInfo r = Native.FindResult(code);
            Name = r != null ? r.Name : code.ToString();
            Meaning = r != null ? r.Meaning : "result code not known";
            Function = function;
        }

        static string Describe(int code, string function)
        {
            ResultInfo r = Native.FindResult(code);
            return string.Format("{0}: {1} ({2}): {3}", function, r != null ? r.Name : code.ToString(),
                                 code, r != null ? r.Meaning : "result code not known");
        }
    }

    /// <summary>The fields of an oro value.</summary>
    public struct OroFields
    {
        public int Day, Month, Year, Hour, Minute, Second, Weekday, YearDay;
    }

    /// <summary>The library's calls with strings for texts and exceptions for failures.</summary>
    public static class Ecr
    {
        public static int Check(int result, string function)
        {
            if (result < 0)
                throw new VeltraException(result, function);
            return result;
        }

        public static string Version()
        {
            var buf = new StringBuilder(Native.ECR_VER_BUFSIZE);
            Native.ecr_get_ver(buf);
            return buf.ToString();
        }

        public static string ResultName(int code)
        {
            var buf = new StringBuilder(Native.ECR_ERR_BUFSIZE);
            Native.ecr_get_err(code, buf);
            return buf.ToString();
        }

        public static string[] FilesList()
        {
            return Native.ecr_files_list();
        }

        /// <summary>The 22 info values by the names in the answer line, in order
        /// (a field without a name is keyed "#k").</summary>
        public static List<KeyValuePair<string, string>> GetInfo(string host)
        {
            return InfoCall(host, null);
        }

        /// <summary>The info values an archive was saved with.</summary>
        public static List<KeyValuePair<string, string>> DatiInfo(string filename)
        {
            return InfoCall(null, filename);
        }

        static List<KeyValuePair<string, string>> InfoCall(string host, string archive)
        {
            int size = host != null ? Native.ECR_INFO_BUFSIZE : Native.ECR_DATI_INFO_BUFSIZE;
            // Native memory of our own: the values point into it after the call.
            IntPtr org = Marshal.AllocHGlobal(size), mod = Marshal.AllocHGlobal(size);
            try
            {
                Marshal.WriteByte(org, 0);
                Marshal.WriteByte(mod, 0);
                var vars = new IntPtr[Native.ECR_INFO_VARS];
                if (host != null)
                    Check(Native.ecr_get_info(host, org, mod, vars), "ecr_get_info");
                else
                    Check(Native.ecr_dati_info(archive, org, mod, vars), "ecr_dati_info");
                string[] fields = Marshal.PtrToStringAnsi(org).TrimEnd('\r', '\n').Split(',');
                var seen = new HashSet<string>();
                var info = new List<KeyValuePair<string, string>>();
                for (int k = 0; k < vars.Length; k++)
                {
                    int eq = k < fields.Length ? fields[k].IndexOf('=') : -1;
                    string name = eq > 0 ? fields[k].Substring(0, eq) : "";
                    if (name.Length == 0 || !seen.Add(name))
                        name = "#" + k;
                    string value = vars[k] != IntPtr.Zero ? Marshal.PtrToStringAnsi(vars[k]) : "";
                    info.Add(new KeyValuePair<string, string>(name, value));
                }
                return info;
            }
            finally
            {
                Marshal.FreeHGlobal(org);
                Marshal.FreeHGlobal(mod);
            }
        }

        public static string Value(List<KeyValuePair<string, string>> info, string name)
        {
            foreach (var kv in info)
                if (kv.Key == name)
                    return kv.Value;
            throw new KeyNotFoundException(name);
        }

        /// <summary>(state letter, "S"/"N" for a host connection).</summary>
        public static string[] StatusNew(string host)
        {
            var stato = new StringBuilder(Native.ECR_STATUS_BUFSIZE);
            var conn = new StringBuilder(Native.ECR_STATUS_BUFSIZE);
            Check(Native.ecr_get_status_new(host, stato, conn), "ecr_get_status_new");
            return new[] { stato.ToString(), conn.ToString() };
        }

        public static int RecvPluAll(string host, string csv)
        {
            return Check(Native.ecr_recv_plu_all(host, csv), "ecr_recv_plu_all");
        }

        public static int RecvRepartiAll(string host, string csv)
        {
            return Check(Native.ecr_recv_reparti_all(host, csv), "ecr_recv_reparti_all");
        }

        public static int RecvClientiAll(string host, string csv)
        {
            return Check(Native.ecr_recv_clienti_all(host, csv), "ecr_recv_clienti_all");
        }

        public static int SendReparti(string host, string csv)
        {
            return Check(Native.ecr_send_reparti(host, csv), "ecr_send_reparti");
        }

        public static int SendPlu(string host, string csv)
        {
            return Check(Native.ecr_send_plu(host, csv), "ecr_send_plu");
        }

        public static int SendClienti(string host, string csv)
        {
            return Check(Native.ecr_send_clienti(host, csv), "ecr_send_clienti");
        }

        /// <summary>The day's sales into folder; false when there are none.</summary>
        public static bool RecvVendCorrente(string host, string folder)
        {
            return Check(Native.ecr_recv_vend_corrente(host, folder), "ecr_recv_vend_corrente") == 1;
        }

        public static string OroEncode(uint oro)
        {
            var buf = new StringBuilder(Native.ECR_ORO_TEXT_BUFSIZE);
            Native.ecr_oro_encode(oro, buf);
            return buf.ToString();
        }

        /// <summary>The fields of an oro value; ArgumentOutOfRangeException
        /// outside 2000..2099.</summary>
        public static OroFields OroToStruct(uint oro)
        {
            var rec = new byte[Native.ECR_ORO_STRUCT_SIZE];
            if (Native.ecr_oro_2struct(oro, rec) != 0)
                throw new ArgumentOutOfRangeException("oro", oro, "outside 01/01/2000..31/12/2099");
            return new OroFields {
                Day = rec[0], Month = rec[1], Year = rec[2], Hour = rec[3], Minute = rec[4],
                Second = rec[5], Weekday = rec[6], YearDay = rec[8] | rec[9] << 8
            };
        }

        public static string[] RelInfoFile(string filename)
        {
            var name = new StringBuilder(Native.ECR_REL_TEXT_BUFSIZE);
            var version = new StringBuilder(Native.ECR_REL_TEXT_BUFSIZE);
            var bitmap = new StringBuilder(Native.ECR_REL_BITMAP_BUFSIZE);
            Check(Native.ecr_rel_info_file(filename, name, version, bitmap), "ecr_rel_info_file");
            return new[] { name.ToString(), version.ToString(), bitmap.ToString() };
        }
    }

    /// <summary>The register's raw channel over TCP, closed on Dispose.</summary>
    public sealed class NetChannel : IDisposable
    {
        public readonly int SockId;
        bool closed;

        public NetChannel(string host)
        {
            SockId = Ecr.Check(Native.ecr_conn_xonxoff_ntw(host), "ecr_conn_xonxoff_ntw");
        }

        public void Send(string text)
        {
            Ecr.Check(Native.ecr_send_xonxoff_ntw(SockId, text), "ecr_send_xonxoff_ntw");
        }

        /// <summary>The bytes of the first read that brings any (at most size),
        /// or none after numsec silent seconds.</summary>
        public byte[] Receive(int size, int numsec)
        {
            var buf = new byte[size];
            int n = Ecr.Check(Native.ecr_recv_xonxoff_ntw(SockId, buf, size, numsec),
                              "ecr_recv_xonxoff_ntw");
            Array.Resize(ref buf, n);
            return buf;
        }

        public void Dispose()
        {
            if (!closed)
            {
                closed = true;
                Native.ecr_disc_xonxoff_ntw(SockId);
            }
        }
    }
}
