{ Helpers over the unit veltra (generated): output buffers sized from the
  header's constants and returned as AnsiString, failures raised as
  EVeltra with the result's code, name and meaning. For Delphi and Free
  Pascal alike. }
unit veltrahelpers;

{$IFDEF FPC}{$MODE DELPHI}{$H+}{$ENDIF}

interface

uses
  SysUtils, veltra;

type
  { A failure result of the library. }
  EVeltra = class(Exception)
  public
    Code: Int32;
    ResultName: AnsiString;
    Meaning: AnsiString;
    constructor CreateResult(ACode: Int32; const AFunction: string);
  end;

  TEcrInfoItem = record
    Name: AnsiString;
    Value: AnsiString;
  end;
  TEcrInfo = array of TEcrInfoItem;

  TEcrOroFields = record
    Day, Month, Year, Hour, Minute, Second, Weekday, YearDay: Integer;
  end;

{ Returns Result when it is 0 or more, else raises EVeltra. }
function EcrCheck(Result_: Int32; const AFunction: string): Int32;

function EcrVersion: AnsiString;
function EcrResultName(Code: Int32): AnsiString;

{ The 22 info values by the names in the answer line, in order (a field
  without a name is named '#k'). }
function EcrGetInfo(const Host: AnsiString): TEcrInfo;
function EcrDatiInfo(const FileName: AnsiString): TEcrInfo;
function EcrInfoValue(const Info: TEcrInfo; const Name: AnsiString): AnsiString;

{ The state letter and 'S'/'N' for a host connection. }
procedure EcrStatusNew(const Host: AnsiString; out Stato, HostConn: AnsiString);

function EcrOroEncode(Oro: UInt32): AnsiString;
{ The fields of an oro value; EVeltra with ECR_ERR_PARAMETRI outside 2000..2099. }
function EcrOroFields(Oro: UInt32): TEcrOroFields;

procedure EcrRelInfoFile(const FileName: AnsiString; out Name, Version, Bitmap: AnsiString);

implementation

constructor EVeltra.CreateResult(ACode: Int32; const AFunction: string);
var
  buf: array[0..ECR_ERR_BUFSIZE - 1] of AnsiChar;
begin
  Code := ACode;
  ResultName := AnsiString(ecr_get_err(ACode, @buf[0]));
  Meaning := EcrResultMeaning(ACode);
  inherited CreateFmt('%s: %s (%d): %s', [AFunction, string(ResultName), ACode, string(Meaning)]);
end;

function EcrCheck(Result_: Int32; const AFunction: string): Int32;
begin
  if Result_ < 0 then
    raise EVeltra.CreateResult(Result_, AFunction);
  Result := Result_;
end;

function EcrVersion: AnsiString;
var
  buf: array[0..ECR_VER_BUFSIZE - 1] of AnsiChar;
begin
  Result := AnsiString(ecr_get_ver(@buf[0]));
end;

function EcrResultName(Code: Int32): AnsiString;
var
  buf: array[0..ECR_ERR_BUFSIZE - 1] of AnsiChar;
begin
  Result := AnsiString(ecr_get_err(Code, @buf[0]));
end;

function SplitInfo(org: PAnsiChar; const vars: array of PAnsiChar): TEcrInfo;
var
  line, field, name: AnsiString;
  k, i, p: Integer;
  fields: array of AnsiString;
  dup: Boolean;
begin
  Result := nil;
  fields := nil;
  line := AnsiString(org);
  while (Length(line) > 0) and (line[Length(line)] in [#13, #10]) do
    SetLength(line, Length(line) - 1);
  field := '';
  for i := 1 to Length(line) do
    if line[i] = ',' then
    begin
      SetLength(fields, Length(fields) + 1);
      fields[High(fields)] := field;
      field := '';
    end
    else
      field := field + line[i];
  SetLength(fields, Length(fields) + 1);
  fields[High(fields)] := field;

  SetLength(Result, ECR_INFO_VARS);
  for k := 0 to ECR_INFO_VARS - 1 do
  begin
    name := '';
    if k <= High(fields) then
    begin
      p := Pos('=', fields[k]);
      if p > 1 then
        name := Copy(fields[k], 1, p - 1);
    end;
    dup := False;
    for i := 0 to k - 1 do
      if Result[i].Name = name then
        dup := True;
    if (name = '') or dup then
      name := AnsiString('#' + IntToStr(k));
    Result[k].Name := name;
    if vars[k] <> nil then
      Result[k].Value := AnsiString(vars[k])
    else
      Result[k].Value := '';
  end;
end;

function EcrGetInfo(const Host: AnsiString): TEcrInfo;
var
  org, mods: array[0..ECR_INFO_BUFSIZE - 1] of AnsiChar;
  vars: array[0..ECR_INFO_VARS - 1] of PAnsiChar;
begin
  org[0] := #0;
  EcrCheck(ecr_get_info(PAnsiChar(Host), @org[0], @mods[0], @vars[0]), 'ecr_get_info');
  Result := SplitInfo(@org[0], vars);
end;

function EcrDatiInfo(const FileName: AnsiString): TEcrInfo;
var
  org, mods: array[0..ECR_DATI_INFO_BUFSIZE - 1] of AnsiChar;
  vars: array[0..ECR_INFO_VARS - 1] of PAnsiChar;
begin
  org[0] := #0;
  EcrCheck(ecr_dati_info(PAnsiChar(FileName), @org[0], @mods[0], @vars[0]), 'ecr_dati_info');
  Result := SplitInfo(@org[0], vars);
end;

function EcrInfoValue(const Info: TEcrInfo; const Name: AnsiString): AnsiString;
var
  k: Integer;
begin
  for k := 0 to High(Info) do
    if Info[k].Name = Name then
    begin
      Result := Info[k].Value;
      Exit;
    end;
  raise EVeltra.CreateFmt('no info value named %s', [string(Name)]);
end;

procedure EcrStatusNew(const Host: AnsiString; out Stato, HostConn: AnsiString);
var
  s, c: array[0..ECR_STATUS_BUFSIZE - 1] of AnsiChar;
begin
  EcrCheck(ecr_get_status_new(PAnsiChar(Host), @s[0], @c[0]), 'ecr_get_status_new');
  Stato := AnsiString(PAnsiChar(@s[0]));
  HostConn := AnsiString(PAnsiChar(@c[0]));
end;

function EcrOroEncode(Oro: UInt32): AnsiString;
var
  buf: array[0..ECR_ORO_TEXT_BUFSIZE - 1] of AnsiChar;
begin
  Result := AnsiString(ecr_oro_encode(Oro, @buf[0]));
end;

function EcrOroFields(Oro: UInt32): TEcrOroFields;
var
  rec: array[0..ECR_ORO_STRUCT_SIZE - 1] of Byte;
begin
  if ecr_oro_2struct(Oro, @rec[0]) <> 0 then
    raise EVeltra.CreateResult(ECR_ERR_PARAMETRI, 'ecr_oro_2struct');
  Result.Day := rec[0];
  Result.Month := rec[1];
  Result.Year := rec[2];
  Result.Hour := rec[3];
  Result.Minute := rec[4];
  Result.Second := rec[5];
  Result.Weekday := rec[6];
  Result.YearDay := rec[8] or (rec[9] shl 8);
end;

procedure EcrRelInfoFile(const FileName: AnsiString; out Name, Version, Bitmap: AnsiString);
var
  n, v: array[0..ECR_REL_TEXT_BUFSIZE - 1] of AnsiChar;
  b: array[0..ECR_REL_BITMAP_BUFSIZE - 1] of AnsiChar;
begin
  EcrCheck(ecr_rel_info_file(PAnsiChar(FileName), @n[0], @v[0], @b[0]), 'ecr_rel_info_file');
  Name := AnsiString(PAnsiChar(@n[0]));
  Version := AnsiString(PAnsiChar(@v[0]));
  Bitmap := AnsiString(PAnsiChar(@b[0]));
end;

end.
