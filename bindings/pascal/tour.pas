{ The tour: the library's version and result names, the register's status
  with its 22 info values, the article table to CSV, one department uploaded
  and read back, a clock code decoded, and the day's sales.
  usage: tour HOST FOLDER }
program tour;

{$IFDEF FPC}{$MODE DELPHI}{$H+}{$ENDIF}
{$IFDEF MSWINDOWS}{$APPTYPE CONSOLE}{$ENDIF}

uses
  SysUtils, Classes, veltra, veltrahelpers;

const
  DepartmentHeader = 'id_reparto;descr;iva;batt_sing;tipo_sconto;id_aux_lan;id_gruppo;' +
                     'prezzo;min_valore;max_valore;valore_sconto;non_fiscale';
  Department = '10;GIORNALI E RIVISTE;4;1;0;1;1;120;0;0;0;1';
  Codes: array[0..3] of Int32 = (-1, -6, -26, 3);

function ReadRows(const Path: string): TStringList;
begin
  Result := TStringList.Create;
  Result.LoadFromFile(Path);
end;

procedure Run(const Host, Folder: AnsiString);
var
  k: Integer;
  meaning, d, t, plu, sent, back, sales: AnsiString;
  info: TEcrInfo;
  rows, names: TStringList;
  files: TEcrTextList;
  oro: UInt32;
  f: TEcrOroFields;
  sr: TSearchRec;
  out_: TextFile;
begin
  WriteLn('version: ', EcrVersion);
  for k := 0 to High(Codes) do
  begin
    meaning := EcrResultMeaning(Codes[k]);
    if meaning <> '' then
      meaning := ' (' + meaning + ')';
    WriteLn('result ', Codes[k], ': ', EcrResultName(Codes[k]), meaning);
  end;
  files := ecr_files_list;
  Write('files:');
  for k := 0 to High(files) do
    Write(' ', files[k]);
  WriteLn;

  info := EcrGetInfo(Host);
  WriteLn('info: ', Length(info), ' values');
  for k := 0 to High(info) do
    WriteLn('info ', k, ' ', info[k].Name, '=', info[k].Value);

  plu := IncludeTrailingPathDelimiter(Folder) + 'plu.csv';
  WriteLn('plu: ', EcrCheck(ecr_recv_plu_all(PAnsiChar(Host), PAnsiChar(plu)), 'ecr_recv_plu_all'),
          ' rows in ', plu);
  rows := ReadRows(plu);
  WriteLn('plu first: ', rows[1]);
  rows.Free;

  sent := IncludeTrailingPathDelimiter(Folder) + 'department.csv';
  AssignFile(out_, sent);
  Rewrite(out_);
  WriteLn(out_, DepartmentHeader);
  WriteLn(out_, Department);
  CloseFile(out_);
  WriteLn('department sent: ', EcrCheck(ecr_send_reparti(PAnsiChar(Host), PAnsiChar(sent)),
          'ecr_send_reparti'), ' line(s): ', Department);
  back := IncludeTrailingPathDelimiter(Folder) + 'reparti.csv';
  EcrCheck(ecr_recv_reparti_all(PAnsiChar(Host), PAnsiChar(back)), 'ecr_recv_reparti_all');
  rows := ReadRows(back);
  for k := 0 to rows.Count - 1 do
    if Copy(rows[k], 1, 3) = '10;' then
      WriteLn('department read back: ', rows[k]);
  rows.Free;

  d := EcrInfoValue(info, 'DATA');
  t := EcrInfoValue(info, 'ORA');
  oro := ecr_oro_decode(StrToInt(Copy(d, 1, 2)), StrToInt(Copy(d, 3, 2)), StrToInt(Copy(d, 5, 2)),
                        StrToInt(Copy(t, 1, 2)), StrToInt(Copy(t, 3, 2)), StrToInt(Copy(t, 5, 2)));
  WriteLn('clock: ', Copy(d, 1, 2), '/', Copy(d, 3, 2), '/', Copy(d, 5, 2), ' ', Copy(t, 1, 2), ':',
          Copy(t, 3, 2), ':', Copy(t, 5, 2), ' is oro ', oro);
  WriteLn('clock text: ', EcrOroEncode(oro));
  f := EcrOroFields(oro);
  WriteLn('clock record: ', f.Day, ' ', f.Month, ' ', f.Year, ' ', f.Hour, ' ', f.Minute, ' ',
          f.Second, ' weekday ', f.Weekday, ' yday ', f.YearDay);

  sales := IncludeTrailingPathDelimiter(Folder) + 'sales';
  ForceDirectories(sales);
  WriteLn('sales: ', EcrCheck(ecr_recv_vend_corrente(PAnsiChar(Host), PAnsiChar(sales)),
          'ecr_recv_vend_corrente'));
  names := TStringList.Create;
  if FindFirst(IncludeTrailingPathDelimiter(sales) + '*', faAnyFile, sr) = 0 then
  begin
    repeat
      if (sr.Attr and faDirectory) = 0 then
        names.Add(sr.Name);
    until FindNext(sr) <> 0;
    FindClose(sr);
  end;
  names.Sorted := True;
  for k := 0 to names.Count - 1 do
  begin
    rows := ReadRows(IncludeTrailingPathDelimiter(sales) + names[k]);
    WriteLn('sales file ', names[k], ': ', rows.Count - 1, ' rows');
    rows.Free;
  end;
  names.Free;
  WriteLn('tour: done');
end;

begin
  if ParamCount <> 2 then
  begin
    WriteLn(ErrOutput, 'usage: tour HOST FOLDER');
    Halt(2);
  end;
  try
    Run(AnsiString(ParamStr(1)), AnsiString(ParamStr(2)));
  except
    on e: EVeltra do
    begin
      WriteLn('tour: failed: ', e.Message, ' [', e.ResultName, ', ', e.Code, ']');
      Halt(1);
    end;
  end;
end.
