// The tour: the library's version and result names, the register's status
// with its 22 info values, the article table to CSV, one department uploaded
// and read back, a clock code decoded, and the day's sales.
// usage: mono tour.exe HOST FOLDER
using System;
using System.IO;
using System.Linq;
using Veltra;

static class Tour
{
    const string DepartmentHeader = "id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;" +
                                    "prezzo;min_valore;max_valore;valore_sconto;non_fiscale";
    const string Department = "10;GIORNALI E RIVISTE;4;1;0;1;1;120;0;0;0;1";

    static string[] Rows(string path)
    {
        return File.ReadAllLines(path, System.Text.Encoding.GetEncoding("iso-8859-1"));
    }

    static int Run(string host, string folder)
    {
        Console.WriteLine("version: " + Ecr.Version());
        foreach (int code in new[] { -1, -6, -26, 3 })
        {
            ResultInfo r = Native.FindResult(code);
            Console.WriteLine("result {0}: {1}{2}", code, Ecr.ResultName(code),
                              r != null ? " (" + r.Meaning + ")" : "");
        }
        Console.WriteLine("files: " + string.Join(" ", Ecr.FilesList()));

        var info = Ecr.GetInfo(host);
        Console.WriteLine("info: {0} values", info.Count);
        for (int k = 0; k < info.Count; k++)
            Console.WriteLine("info {0} {1}={2}", k, info[k].Key, info[k].Value);

        string plu = Path.Combine(folder, "plu.csv");
        Console.WriteLine("plu: {0} rows in {1}", Ecr.RecvPluAll(host, plu), plu);
        Console.WriteLine("plu first: " + Rows(plu)[1]);

        string sent = Path.Combine(folder, "department.csv");
        File.WriteAllText(sent, DepartmentHeader + "\n" + Department + "\n");
        Console.WriteLine("department sent: {0} line(s): {1}", Ecr.SendReparti(host, sent), Department);
        string back = Path.Combine(folder, "reparti.csv");
        Ecr.RecvRepartiAll(host, back);
        Console.WriteLine("department read back: " + Rows(back).First(l => l.StartsWith("10;")));

        string d = Ecr.Value(info, "DATA"), t = Ecr.Value(info, "ORA");
        int[] f = { int.Parse(d.Substring(0, 2)), int.Parse(d.Substring(2, 2)), int.Parse(d.Substring(4, 2)),
                    int.Parse(t.Substring(0, 2)), int.Parse(t.Substring(2, 2)), int.Parse(t.Substring(4, 2)) };
        uint oro = Native.ecr_oro_decode(f[0], f[1], f[2], f[3], f[4], f[5]);
        Console.WriteLine("clock: {0}/{1}/{2} {3}:{4}:{5} is oro {6}", d.Substring(0, 2), d.Substring(2, 2),
                          d.Substring(4, 2), t.Substring(0, 2), t.Substring(2, 2), t.Substring(4, 2), oro);
        Console.WriteLine("clock text: " + Ecr.OroEncode(oro));
        OroFields s = Ecr.OroToStruct(oro);
        Console.WriteLine("clock record: {0} {1} {2} {3} {4} {5} weekday {6} yday {7}", s.Day, s.Month,
                          s.Year, s.Hour, s.Minute, s.Second, s.Weekday, s.YearDay);

        string sales = Path.Combine(folder, "sales");
        Directory.CreateDirectory(sales);
        Console.WriteLine("sales: " + (Ecr.RecvVendCorrente(host, sales) ? 1 : 0));
        foreach (string file in Directory.GetFiles(sales).OrderBy(p => Path.GetFileName(p), StringComparer.Ordinal))
            Console.WriteLine("sales file {0}: {1} rows", Path.GetFileName(file), Rows(file).Length - 1);
        Console.WriteLine("tour: done");
        return 0;
    }

    static int Main(string[] args)
    {
        if (args.Length != 2)
        {
            Console.Error.WriteLine("usage: tour.exe HOST FOLDER");
            return 2;
        }
        try
        {
            return Run(args[0], args[1]);
        }
        catch (VeltraException e)
        {
            Console.WriteLine("tour: failed: {0} [{1}, {2}]", e.Message, e.Name, e.Code);
            return 1;
        }
    }
}
