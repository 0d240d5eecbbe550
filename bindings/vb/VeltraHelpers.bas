Attribute VB_Name = "VeltraHelpers"
' Helpers over the Declare statements of Veltra.bas (generated): output texts
' in Strings pre-sized from the header's constants, the info values read out
' of Byte arrays, failures raised as errors that carry the result's name and
' meaning. For VB6 and for 32-bit and 64-bit VBA alike; import both modules.
Option Explicit

' Err.Number of a failure: ECR_ERROR_BASE minus the result (-6 gives
' ECR_ERROR_BASE + 6); Err.Source is "VELTRA.<function>".
Public Const ECR_ERROR_BASE As Long = vbObjectError + 1000

' The text of a buffer up to its terminator.
Public Function EcrTrim(ByVal s As String) As String
    Dim nul As Long
    nul = InStr(s, vbNullChar)
    If nul > 0 Then EcrTrim = Left$(s, nul - 1) Else EcrTrim = s
End Function

' Returns result when it is 0 or more, else raises the failure.
Public Function EcrCheck(ByVal result As Long, ByVal fn As String) As Long
    If result < 0 Then
        Err.Raise ECR_ERROR_BASE - result, "VELTRA." & fn, _
            fn & ": " & EcrResultName(result) & " (" & result & "): " & EcrResultMeaning(result)
    End If
    EcrCheck = result
End Function

Public Function EcrVersion() As String
    Dim buf As String
    buf = String$(ECR_VER_BUFSIZE, vbNullChar)
    ecr_get_ver buf
    EcrVersion = EcrTrim(buf)
End Function

' "ERR_TIMEOUT" for -6; codes outside the map give their decimal text.
Public Function EcrResultName(ByVal code As Long) As String
    Dim buf As String
    buf = String$(ECR_ERR_BUFSIZE, vbNullChar)
    ecr_get_err code, buf
    EcrResultName = EcrTrim(buf)
End Function

' The text in b from index first up to its terminator.
Private Function BytesText(b() As Byte, ByVal first As Long) As String
    Dim i As Long, s As String
    i = first
    Do While i <= UBound(b)
        If b(i) = 0 Then Exit Do
        s = s & Chr$(b(i))
        i = i + 1
    Loop
    BytesText = s
End Function

' The register's 22 info values: names() from the answer line ("#k" for a
' field without one), values() as var_list points them out.
Public Sub EcrGetInfo(ByVal host As String, names() As String, values() As String)
    Dim org(0 To ECR_INFO_BUFSIZE - 1) As Byte
    Dim mods(0 To ECR_INFO_BUFSIZE - 1) As Byte
#If VBA7 Then
    Dim vars(0 To ECR_INFO_VARS - 1) As LongPtr
#Else
    Dim vars(0 To ECR_INFO_VARS - 1) As Long
#End If
    EcrCheck ecr_get_info(host, org(0), mods(0), vars(0)), "ecr_get_info"
    SplitInfo org, mods, vars, names, values
End Sub

' The info values an archive was saved with, as EcrGetInfo gives them.
Public Sub EcrDatiInfo(ByVal filename As String, names() As String, values() As String)
    Dim org(0 To ECR_DATI_INFO_BUFSIZE - 1) As Byte
    Dim mods(0 To ECR_DATI_INFO_BUFSIZE - 1) As Byte
#If VBA7 Then
    Dim vars(0 To ECR_INFO_VARS - 1) As LongPtr
#Else
    Dim vars(0 To ECR_INFO_VARS - 1) As Long
#End If
    EcrCheck ecr_dati_info(filename, org(0), mods(0), vars(0)), "ecr_dati_info"
    SplitInfo org, mods, vars, names, values
End Sub

' var_list points into mods (or, for empty values, into org): each value is
' found again by its offset from the array's first byte.
#If VBA7 Then
Private Sub SplitInfo(org() As Byte, mods() As Byte, vars() As LongPtr, _
                      names() As String, values() As String)
    Dim orgAt As LongPtr, modsAt As LongPtr
#Else
Private Sub SplitInfo(org() As Byte, mods() As Byte, vars() As Long, _
                      names() As String, values() As String)
    Dim orgAt As Long, modsAt As Long
#End If
    Dim fields() As String, k As Long, eq As Long
    fields = Split(Replace(Replace(BytesText(org, 0), vbCr, ""), vbLf, ""), ",")
    orgAt = VarPtr(org(0))
    modsAt = VarPtr(mods(0))
    ReDim names(0 To ECR_INFO_VARS - 1)
    ReDim values(0 To ECR_INFO_VARS - 1)
    For k = 0 To ECR_INFO_VARS - 1
        names(k) = "#" & k
        If k <= UBound(fields) Then
            eq = InStr(fields(k), "=")
            If eq > 1 Then names(k) = Left$(fields(k), eq - 1)
        End If
        If vars(k) >= modsAt And vars(k) <= modsAt + UBound(mods) Then
            values(k) = BytesText(mods, CLng(vars(k) - modsAt))
        ElseIf vars(k) >= orgAt And vars(k) <= orgAt + UBound(org) Then
            values(k) = BytesText(org, CLng(vars(k) - orgAt))
        Else
            values(k) = ""
        End If
    Next k
End Sub

' The state letter and "S"/"N" for a host connection.
Public Sub EcrStatusNew(ByVal host As String, stato As String, hostConn As String)
    stato = String$(ECR_STATUS_BUFSIZE, vbNullChar)
    hostConn = String$(ECR_STATUS_BUFSIZE, vbNullChar)
    EcrCheck ecr_get_status_new(host, stato, hostConn), "ecr_get_status_new"
    stato = EcrTrim(stato)
    hostConn = EcrTrim(hostConn)
End Sub

' An oro value (a Long holding the header's uint32_t) read unsigned.
Public Function EcrUnsigned(ByVal oro As Long) As Double
    If oro < 0 Then EcrUnsigned = CDbl(oro) + 4294967296# Else EcrUnsigned = oro
End Function

' "dd/mm/yy-hh:mm:ss-[ddd-w]" for an oro value.
Public Function EcrOroEncode(ByVal oro As Long) As String
    Dim buf As String
    buf = String$(ECR_ORO_TEXT_BUFSIZE, vbNullChar)
    ecr_oro_encode oro, buf
    EcrOroEncode = EcrTrim(buf)
End Function

' The fields of an oro value: day, month, yy, hour, minute, second,
' weekday (1 = Monday), day of the year. False outside 2000..2099.
Public Function EcrOroFields(ByVal oro As Long, fields() As Long) As Boolean
    Dim rec(0 To ECR_ORO_STRUCT_SIZE - 1) As Byte, i As Long
    ReDim fields(0 To 7)
    If ecr_oro_2struct(oro, rec(0)) <> 0 Then Exit Function
    For i = 0 To 6
        fields(i) = rec(i)
    Next i
    fields(7) = rec(8) + 256& * rec(9)
    EcrOroFields = True
End Function

' The release name, version and bitmap type of a release file.
Public Sub EcrRelInfoFile(ByVal filename As String, relName As String, version As String, _
                          bitmap As String)
    relName = String$(ECR_REL_TEXT_BUFSIZE, vbNullChar)
    version = String$(ECR_REL_TEXT_BUFSIZE, vbNullChar)
    bitmap = String$(ECR_REL_BITMAP_BUFSIZE, vbNullChar)
    EcrCheck ecr_rel_info_file(filename, relName, version, bitmap), "ecr_rel_info_file"
    relName = EcrTrim(relName)
    version = EcrTrim(version)
    bitmap = EcrTrim(bitmap)
End Sub

' The numbers of the serial ports present, "1,3,4" (at most ten).
Public Function EcrEnumPorts() As String
    Dim buf As String
    buf = String$(ECR_PORT_LIST_BUFSIZE, vbNullChar)
    EcrCheck ecr_enum_port_ser(buf), "ecr_enum_port_ser"
    EcrEnumPorts = EcrTrim(buf)
End Function

' Up to size bytes of the first read that brings any on the raw network
' channel, or none after numsec silent seconds.
Public Function EcrRecvNtw(ByVal sockid As Long, ByVal size As Long, ByVal numsec As Long) As Byte()
    Dim buf() As Byte, n As Long
    ReDim buf(0 To size - 1)
    n = EcrCheck(ecr_recv_xonxoff_ntw(sockid, buf(0), size, numsec), "ecr_recv_xonxoff_ntw")
    If n = 0 Then
        EcrRecvNtw = vbNullString
    Else
        ReDim Preserve buf(0 To n - 1)
        EcrRecvNtw = buf
    End If
End Function
