@echo off
rem install.cmd: installs vek-system-service from the package folder that
rem holds this script and the two programs, for deployment tools that run a
rem command as SYSTEM (Group Policy start-up scripts, Configuration Manager,
rem Intune). It copies vek-system-service-setup.exe and vek-system-service.exe
rem to "%ProgramW6432%\Vek System Service" and runs the installer there, which
rem registers the service once and starts it. Its lines, the installer's own
rem included, go time-stamped to standard output and to install.log in that
rem folder (writable by administrators only).
rem
rem An upgrade: when the package's vek-system-service.exe differs from the
rem installed one and the service is not stopped, it is stopped first (60
rem seconds at most, stop-pending included, with a line every 10 seconds
rem that it still waits); each program is copied under a
rem temporary name beside the installed one and then moved over it, so that
rem an intact program is there at every moment; the installer then starts the
rem service again. The registration is never changed.
rem
rem For detection rules: once the installer has exited with 0 it writes the
rem SHA-256 of the installed vek-system-service.exe, 64 lower-case hex
rem digits, to the value InstalledServiceSha256 of HKLM\SOFTWARE\Vek System
rem Service (64-bit view). It deletes that value only right before it moves
rem another vek-system-service.exe over the installed one, so a run that ends
rem before (exits 10 to 14, 16, 1618, a copy that failed) leaves the record of
rem the program that is still there; should the move itself fail, the record
rem it deleted is written back. A re-run with the same program keeps it even
rem when the installer fails: the program it names is the one installed.
rem
rem One run at a time: a run holds install.lock in the target folder open for
rem as long as it works (uninstall.cmd does too). Windows closes it when the
rem run ends, however it ends, so a crash or a power cut cannot leave it held.
rem The programs the run starts (ping, sc, reg, certutil, the installer)
rem inherit its handle, as cmd gives every program it starts its handles: a
rem run that is killed holds the lock until the program it was running ends
rem too (a second, or the installer's start of the service), so another run
rem never works beside a program of one cut short. Another run waits for it,
rem 5 minutes at most (for tests only: VEK_DEPLOY_LOCK_WAIT, a number of
rem seconds from 1 to 300, shortens the wait). A lock that cannot be opened
rem for another reason ends the run at once (16): the platform is asked
rem whether install.lock is a folder, whether this run may make a file in the
rem folder, and if not, whether it has an administrator's rights.
rem
rem Exit codes: the installer's own (0 done, 1 failed, 2 and 3 internal
rem faults), or this script's:
rem   10    the package is incomplete: nothing was changed
rem   11    the new programs were not put in place (a copy failed, or the
rem         record for detection rules could not be deleted first): the
rem         installed program is left, with its record, and a service stopped
rem         for the copy is asked to start again. Also: ProgramW6432 is not
rem         set (not 64-bit Windows)
rem   12    the service did not stop within 60 seconds: nothing was copied,
rem         the old program is in place and still running
rem   13    the service is registered from another folder: nothing was
rem         stopped, copied or run (uninstall.cmd, then install.cmd, moves it)
rem   14    the service's state could not be read: nothing was changed
rem   15    the installer exited with 0, but the SHA-256 for detection rules
rem         could not be computed or written
rem   16    the lock could not be taken, and not because another run holds
rem         it: this run is not elevated, may not make the folder or a file
rem         in it, or install.lock is a folder; nothing was changed
rem   1618  another install.cmd or uninstall.cmd ran for 5 minutes: nothing
rem         was changed (deployment tools retry this code)
rem Every exit is logged with its reason: to install.log, or, while the folder
rem does not exist, to %SystemRoot%\Logs\vek-system-service-install.log. A run
rem without an administrator's rights can write neither: it has standard
rem output only.
rem
rem It reads nothing that Windows translates: the service's state from sc's
rem untranslated state word and number (4  RUNNING) on whatever line holds
rem them, the registration's program from reg's ImagePath line, the SHA-256
rem from certutil's line of hex digits, and otherwise only exit codes. It runs
rem unchanged under Windows' cmd and Wine's: no || or && after a builtin
rem (errorlevel is tested on the next line), no redirection of a block, ping
rem for a wait, and the system's programs by their full paths, so that nothing
rem in the current folder is run in their place (from a 32-bit agent's cmd,
rem System32 is SysWOW64, which has them too).
setlocal EnableExtensions DisableDelayedExpansion
rem The package's folder, taken before any call: cmd may resolve %~dp0
rem against the current folder after a call when it was started quoted.
set "package=%~dp0"
set "service=vek-system-service"
set "setup=vek-system-service-setup.exe"
set "program=vek-system-service.exe"
set "system=%SystemRoot%\System32"
set "record_key=HKLM\SOFTWARE\Vek System Service"
set "record_value=InstalledServiceSha256"
rem Until the target folder exists, lines go to a log in Windows' own Logs
rem folder (writable by administrators only).
set "log=%SystemRoot%\Logs\vek-system-service-install.log"
if not exist "%SystemRoot%\Logs\" mkdir "%SystemRoot%\Logs" >nul 2>&1
if not exist "%SystemRoot%\Logs\" set "log="
if not defined ProgramW6432 goto :no_program_files
set "target=%ProgramW6432%\Vek System Service"
if exist "%target%\" set "log=%target%\install.log"

rem The package is checked before anything is touched.
set "missing="
if not exist "%package%%setup%" set "missing=%setup%"
if not exist "%package%%program%" set "missing=%missing% %program%"
if not defined missing goto :complete
set "message=incomplete package %package%, missing:%missing%"
call :log
exit /b 10
:complete

rem The lock: install.lock opened as this run's standard error for as long
rem as :locked runs. cmd opens a redirection's file for writing without
rem letting others write, so another run's redirection fails until this one
rem ends; its failure message goes to nul (the outer redirection). The wait
rem is counted in tries a second apart; set /a takes a variable's value as a
rem number (0 when it is none), so nothing in it is run.
set /a lock_limit=300
if defined VEK_DEPLOY_LOCK_WAIT set /a "lock_limit=VEK_DEPLOY_LOCK_WAIT"
if %lock_limit% lss 1 set /a lock_limit=300
if %lock_limit% gtr 300 set /a lock_limit=300
set /a lock_waited=0
:take_lock
if exist "%target%\" goto :have_target
mkdir "%target%" >nul 2>&1
if exist "%target%\" goto :have_target
call :not_allowed
set "message=cannot create %target%: %cannot%; nothing was changed"
call :log
exit /b 16
:have_target
set "log=%target%\install.log"
set "locked="
set "result="
call :try_lock 2>nul
if defined locked exit /b %result%
call :why_not_locked
if defined cannot goto :cannot_lock
if %lock_waited% equ 0 echo %date% %time% another install.cmd or uninstall.cmd is running: waiting for it to end, %lock_limit% seconds at most
if %lock_waited% geq %lock_limit% goto :lock_timeout
"%system%\ping.exe" -n 2 127.0.0.1 >nul
set /a lock_waited+=1
goto :take_lock
:lock_timeout
set "message=another install.cmd or uninstall.cmd has been running for %lock_limit% seconds: nothing was changed"
call :log
exit /b 1618
:cannot_lock
set "message=cannot take the lock %target%\install.lock: %cannot%; nothing was changed"
call :log
exit /b 16

:try_lock
call :locked 2>"%target%\install.lock"
exit /b 0

rem Why install.lock could not be opened for writing, asked of the platform:
rem sets cannot to the reason when it is a folder, or when this run may not
rem make a file in the target folder (a probe of its own, removed again). To
rem nothing when neither holds: then another process holds it open for
rem writing, which only a run of these scripts does. (An install.lock whose
rem own attributes or permissions forbid writing would be taken as held too:
rem cmd reads no reason from a failed redirection but its translated text.
rem A folder gone meanwhile is made again by the next try.)
:why_not_locked
set "cannot="
if not exist "%target%\" exit /b 0
call :attributes_of "%target%\install.lock"
if "%attributes:~0,1%"=="d" goto :lock_is_folder
set "probe_file=%target%\install-probe-%random%%random%.tmp"
copy /y nul "%probe_file%" >nul 2>&1
if errorlevel 1 goto :not_allowed
del "%probe_file%" >nul 2>&1
exit /b 0
:lock_is_folder
set "cannot=it is a folder, not a file: remove it"
exit /b 0

rem Sets attributes to those of %1 as cmd shows them, d first for a folder,
rem or to "-" when there is nothing there. (Not if exist "%1\": Wine's cmd
rem finds a file too that way.)
:attributes_of
set "attributes=%~a1-"
exit /b 0

rem Sets cannot to why this run may not write in the target folder: fltmc
rem answers only a caller with an administrator's rights (exit code 0), and
rem such a caller is refused only by the folder's own permissions.
:not_allowed
"%system%\fltmc.exe" >nul 2>&1
set "fltmc_code=%errorlevel%"
set "cannot=this run is not elevated, it has no administrator's rights (fltmc, which needs them, exited with %fltmc_code%): run it as SYSTEM or from an elevated prompt"
if "%fltmc_code%"=="0" set "cannot=this account may not write there: the folder's permissions deny it"
exit /b 0

rem Under the lock: a work file of this run's own for what the programs it
rem runs print; work files a run that was cut short left behind go first.
:locked
set "locked=yes"
del /q "%target%\install-*.tmp" >nul 2>&1
:name_work
set "work=%target%\install-%random%%random%.tmp"
if exist "%work%" goto :name_work
call :install
set "result=%errorlevel%"
del "%work%" >nul 2>&1
exit /b 0

:install
set "message=installing from %package%"
call :log

rem Not registered: no state, and sc's code for an unknown service (1060;
rem Wine 8's sc exits with 1). No state with another code: sc could not ask.
call :query_state
if defined state goto :registered
if "%sc_code%"=="1060" goto :checked_registration
if "%sc_code%"=="1" goto :checked_registration
set "message=cannot read the state of %service%: sc query exited with %sc_code%; nothing was changed"
call :log
exit /b 14

rem The installer never changes a registration: one that runs another
rem folder's program would be started again as it is, with the new program
rem copied where nothing uses it. Nothing is touched then.
:registered
call :query_image
if /i "%image%"=="%target%\%program%" goto :checked_registration
set "other=an unknown folder"
if defined image call :folder_of "%image%"
if not defined image set "image=none that reg can read"
set "message=%service% is registered from another folder, %other% (its program: %image%): nothing was stopped, copied or run. To move it to %target%, run uninstall.cmd, then install.cmd"
call :log
exit /b 13
:checked_registration

rem Does the package bring another vek-system-service.exe than the installed
rem one? Their SHA-256 sums decide (certutil, as for the record below; fc
rem cannot be trusted: Wine's is a stub, or knows no /b). When either sum
rem cannot be computed, the package's program is taken as another one.
set "differs=yes"
if not exist "%target%\%program%" goto :compared
call :sha256 "%package%%program%"
set "package_hash=%hash%"
call :sha256 "%target%\%program%"
if not defined package_hash goto :not_compared
if not defined hash goto :not_compared
if not "%hash%"=="%package_hash%" goto :compared
set "differs=no"
set "message=%program% is the installed one: left as it is"
call :log
goto :compared
:not_compared
set "message=cannot compute the SHA-256 of the package's or the installed %program% with certutil: taken as another one"
call :log
:compared

rem A running program cannot be replaced: a service that is not stopped is
rem stopped first, when the program to replace is there. The stop is asked for
rem again while the service is in another state than stop-pending (a start in
rem progress refuses it); stop-pending is waited through, 60 seconds at most,
rem with a line every 10 seconds.
set "stopped="
if "%differs%"=="no" goto :copy
if not exist "%target%\%program%" goto :copy
if not defined state goto :copy
if "%state%"=="1 STOPPED" goto :copy
set "message=stopping %service% (%state%) to replace %program%"
call :log
set /a waited=0
:stop
if not "%state%"=="3 STOP_PENDING" "%system%\sc.exe" stop %service% >nul 2>&1
"%system%\ping.exe" -n 2 127.0.0.1 >nul
set /a waited+=1
call :query_state
if not defined state goto :has_stopped
if "%state%"=="1 STOPPED" goto :has_stopped
if %waited% geq 60 goto :not_stopped
set /a tens=waited %% 10
if not %tens% equ 0 goto :stop
set "message=%service% has not stopped after %waited% seconds (%state%): waiting, 60 seconds at most"
call :log
goto :stop
:not_stopped
set "message=%service% did not stop within 60 seconds (%state%): nothing was copied, the installed program is left as it is"
call :log
exit /b 12
:has_stopped
set "stopped=yes"
set "message=%service% stopped"
call :log

rem The installer first. Then the program: its copy beside it, the record
rem deleted (detection rules see no install from here until the installer
rem has exited with 0), and the move over the installed one, the first
rem change to what the record names; should that fail, the installed program
rem is still the one the record named, which is written back.
:copy
call :put_in_place "%setup%"
if errorlevel 1 goto :copy_failed
if "%differs%"=="no" goto :run
call :stage "%program%"
if errorlevel 1 goto :copy_failed
call :read_record
"%system%\reg.exe" delete "%record_key%" /v %record_value% /f /reg:64 >nul 2>&1
"%system%\reg.exe" query "%record_key%" /v %record_value% /reg:64 >nul 2>&1
if errorlevel 1 goto :record_cleared
del "%temporary%" >nul 2>&1
set "message=cannot delete %record_key%\%record_value%: %program% was not replaced"
call :log
goto :not_replaced
:record_cleared
call :move_in_place
if not errorlevel 1 goto :run
if not defined old_record goto :copy_failed
"%system%\reg.exe" add "%record_key%" /v %record_value% /t REG_SZ /d %old_record% /f /reg:64 >nul 2>&1
set "message=put back %record_key%\%record_value% = %old_record%: reg add exited with %errorlevel%"
call :log
goto :copy_failed

rem The installer's output goes through the work file, so that its exit code
rem is kept; then each line is logged. findstr /n numbers every line, blank
rem ones too; Wine's findstr is a stub that prints nothing, and there only
rem for /f's own reading is left, which skips blank lines.
:run
set "message=running %setup%"
call :log
"%target%\%setup%" >"%work%" 2>&1
set "code=%errorlevel%"
set "numbered="
for /f "tokens=1* delims=:" %%a in ('%system%\findstr.exe /n "^" "%work%" 2^>nul') do (
    set "numbered=yes"
    echo %date% %time% setup: %%b
    >>"%log%" echo %date% %time% setup: %%b
)
if defined numbered goto :logged
for /f "usebackq delims=" %%a in ("%work%") do (
    echo %date% %time% setup: %%a
    >>"%log%" echo %date% %time% setup: %%a
)
:logged
set "message=%setup% exited with %code%"
call :log
if not "%code%"=="0" exit /b %code%

call :sha256 "%target%\%program%"
if not defined hash goto :not_recorded
"%system%\reg.exe" add "%record_key%" /v %record_value% /t REG_SZ /d %hash% /f /reg:64 >nul 2>&1
if errorlevel 1 goto :not_recorded
set "message=recorded for detection rules: %record_key%\%record_value% = %hash%"
call :log
exit /b 0
:not_recorded
set "message=cannot record the SHA-256 of %target%\%program% in %record_key%\%record_value% (certutil -hashfile or reg add failed)"
call :log
exit /b 15

:copy_failed
set "message=cannot copy %name% to %target%: the installed programs are left as they were"
call :log
:not_replaced
if not defined stopped exit /b 11
rem The old program is still in place: start it again.
"%system%\sc.exe" start %service% >nul 2>&1
set "message=asked %service% to start again: sc start exited with %errorlevel%"
call :log
exit /b 11

:no_program_files
set "message=ProgramW6432 is not set: this is not 64-bit Windows; nothing was changed"
call :log
exit /b 11

rem Copies the package's %1 into the target folder under a temporary name
rem (:stage), then moves it over the installed one, which stays intact until
rem then (:move_in_place). A stopped service's process may hold its file a
rem moment longer: the move is tried ten times, a second apart. Exit code 1
rem when it is not in place (the temporary copy is gone again).
:put_in_place
call :stage "%~1"
if errorlevel 1 exit /b 1
call :move_in_place
exit /b %errorlevel%
:stage
set "name=%~1"
set "temporary=%target%\%name%.new"
copy /y /b "%package%%name%" "%temporary%" >nul 2>&1
if not errorlevel 1 exit /b 0
del "%temporary%" >nul 2>&1
exit /b 1
:move_in_place
set /a tries=0
:move
move /y "%temporary%" "%target%\%name%" >nul 2>&1
if not errorlevel 1 goto :in_place
set /a tries+=1
if %tries% geq 10 goto :not_in_place
"%system%\ping.exe" -n 2 127.0.0.1 >nul
goto :move
:in_place
set "message=copied %name%"
call :log
exit /b 0
:not_in_place
del "%temporary%" >nul 2>&1
exit /b 1

rem Sets old_record to the record's SHA-256 when it holds one (64 hex
rem digits, as this script writes it), or to nothing.
:read_record
set "old_record="
set "candidate="
"%system%\reg.exe" query "%record_key%" /v %record_value% /reg:64 >"%work%" 2>nul
if errorlevel 1 exit /b 0
for /f "usebackq tokens=1,2,*" %%a in ("%work%") do if /i "%%a"=="%record_value%" set "candidate=%%c"
if not defined candidate exit /b 0
set "second="
set "hash="
call :take_hash
set "old_record=%hash%"
exit /b 0

rem Writes %message% to standard output and to the log (see the top), after
rem the date and time. Through delayed expansion, whose
rem result cmd does not parse again, so that any character may be in it. (Not
rem through a for over it: Wine 10's cmd takes a word "in" inside the quoted
rem list for the for's own.)
:log
setlocal EnableDelayedExpansion
echo %date% %time% !message!
if defined log >>"%log%" echo %date% %time% !message!
endlocal
exit /b 0

rem Sets state to the service's state as sc query shows it, number and word
rem ("4 RUNNING"), or to nothing when no line holds one; sc_code to sc's exit
rem code. Windows translates sc's labels (STATE is ESTADO, STATUS, ETAT...)
rem but not the state words, so any two neighbouring words on any line that
rem are a state's number and word are taken.
:query_state
set "state="
"%system%\sc.exe" query %service% >"%work%" 2>&1
set "sc_code=%errorlevel%"
for /f "usebackq tokens=1-10" %%a in ("%work%") do (
    for %%p in ("%%a %%b" "%%b %%c" "%%c %%d" "%%d %%e" "%%e %%f" "%%f %%g" "%%g %%h" "%%h %%i" "%%i %%j") do (
        for %%s in ("1 STOPPED" "2 START_PENDING" "3 STOP_PENDING" "4 RUNNING" "5 CONTINUE_PENDING" "6 PAUSE_PENDING" "7 PAUSED") do (
            if %%p==%%s set "state=%%~s"
        )
    )
)
exit /b 0

rem Sets image to the registration's program (ImagePath, without its double
rem quotes), or to nothing when it cannot be read. reg prints the value as
rem "    ImagePath    REG_EXPAND_SZ    data": a name and a type, untranslated.
:query_image
set "image="
"%system%\reg.exe" query "HKLM\SYSTEM\CurrentControlSet\Services\%service%" /v ImagePath >"%work%" 2>nul
for /f "usebackq tokens=1,2,*" %%a in ("%work%") do if /i "%%a"=="ImagePath" set "image=%%c"
if defined image set "image=%image:"=%"
exit /b 0

rem Sets other to the folder of the program %1. (Through a call, not a for:
rem see :log.)
:folder_of
set "other=%~dp1"
exit /b 0

rem Sets hash to the SHA-256 of %1 in lower case, or to nothing. certutil
rem translates its first and last lines, not the line between them, which
rem holds the 64 hex digits as one word (Windows 10 and later): the one line
rem that is one such word is taken. (Each line is looked at in a call: Wine
rem 8's cmd reads a for /f inside another's body with the outer's options.)
:sha256
set "hash="
"%system%\certutil.exe" -hashfile "%~1" SHA256 >"%work%" 2>&1
if errorlevel 1 exit /b 0
for /f "usebackq tokens=1,2" %%a in ("%work%") do (
    set "candidate=%%a"
    set "second=%%b"
    call :take_hash
)
exit /b 0
:take_hash
if defined second exit /b 0
set "candidate=%candidate:"=%"
if not defined candidate exit /b 0
rem 64 characters: with a mark after them, the 65th is the mark and the 64th
rem is not. (Wine 10's cmd gives the last character for a position past the
rem end, where Windows' gives nothing: the mark makes both right.)
set "probe=%candidate%#"
if "%probe:~63,1%"=="#" exit /b 0
if not "%probe:~64,1%"=="#" exit /b 0
for /f "delims=0123456789abcdefABCDEF" %%x in ("%candidate%") do exit /b 0
rem cmd's replacement ignores case: these lower A-F.
set "candidate=%candidate:a=a%"
set "candidate=%candidate:b=b%"
set "candidate=%candidate:c=c%"
set "candidate=%candidate:d=d%"
set "candidate=%candidate:e=e%"
set "candidate=%candidate:f=f%"
set "hash=%candidate%"
exit /b 0
