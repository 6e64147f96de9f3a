@echo off
rem uninstall.cmd: removes what install.cmd installed, for deployment tools
rem that run a command as SYSTEM (Configuration Manager, Intune) and for an
rem administrator. It needs nothing beside it. It
rem   - stops vek-system-service (60 seconds at most, stop-pending included,
rem     with a line every 10 seconds that it still waits),
rem   - deletes its registration, whatever folder its program is in, and waits
rem     until the service control manager has removed it,
rem   - deletes the record for detection rules (the value
rem     InstalledServiceSha256 of HKLM\SOFTWARE\Vek System Service, 64-bit
rem     view, and the key once it holds nothing else),
rem   - removes from "%ProgramW6432%\Vek System Service" the two programs,
rem     install.log and what install.cmd keeps there while it runs, and then
rem     the folder. Files that install.cmd did not put there stay, with the
rem     folder, and are named. A program in another folder is left alone.
rem Its lines go time-stamped to standard output and to
rem %SystemRoot%\Logs\vek-system-service-uninstall.log (writable by
rem administrators only), which outlives the folder; every exit is logged
rem there with its reason (a run without an administrator's rights cannot
rem write it: it has standard output only).
rem
rem Exit codes:
rem   0     done: the service, its record and install.cmd's files are gone
rem         (or nothing was installed). The folder is gone too, unless it
rem         holds files install.cmd did not put there (named in the log), or
rem         another install.cmd or uninstall.cmd took the lock in it as this
rem         run let go
rem   3010  done, but the manager has only marked the registration for
rem         deletion, because another program holds the service open (the
rem         Services console, say): it goes when that program lets go, at the
rem         latest at the next restart. Deployment tools read 3010 as "restart
rem         required"
rem   11    something could not be removed; the log names it. When it is the
rem         registration, nothing after it was removed. Also: ProgramW6432 is
rem         not set (not 64-bit Windows)
rem   12    the service did not stop within 60 seconds: nothing was removed
rem   14    the service's state could not be read: nothing was removed
rem   16    the lock could not be taken, and not because another run holds
rem         it: this run is not elevated, may not make the folder or a file
rem         in it, or install.lock is a folder; nothing was removed
rem   1618  another install.cmd or uninstall.cmd ran for 5 minutes: nothing
rem         was removed (deployment tools retry this code)
rem
rem Like install.cmd, it reads nothing that Windows translates, runs unchanged
rem under Windows' cmd and Wine's, and takes install.cmd's lock the same way
rem (see there: what its programs inherit, VEK_DEPLOY_LOCK_WAIT for tests,
rem and what is asked when the lock cannot be opened).
setlocal EnableExtensions DisableDelayedExpansion
set "service=vek-system-service"
set "setup=vek-system-service-setup.exe"
set "program=vek-system-service.exe"
set "system=%SystemRoot%\System32"
set "record_key=HKLM\SOFTWARE\Vek System Service"
set "record_value=InstalledServiceSha256"
set "log=%SystemRoot%\Logs\vek-system-service-uninstall.log"
if not exist "%SystemRoot%\Logs\" mkdir "%SystemRoot%\Logs" >nul 2>&1
if not exist "%SystemRoot%\Logs\" set "log="
if not defined ProgramW6432 goto :no_program_files
set "target=%ProgramW6432%\Vek System Service"

rem The lock, as install.cmd takes it (see there), in the target folder; a
rem folder made only for the lock goes again at the end.
set /a lock_limit=300
if defined VEK_DEPLOY_LOCK_WAIT set /a "lock_limit=VEK_DEPLOY_LOCK_WAIT"
if %lock_limit% lss 1 set /a lock_limit=300
if %lock_limit% gtr 300 set /a lock_limit=300
set /a lock_waited=0
set "made="
:take_lock
if exist "%target%\" goto :have_target
mkdir "%target%" >nul 2>&1
set "made=yes"
if exist "%target%\" goto :have_target
call :not_allowed
set "message=cannot create %target% for its lock: %cannot%; nothing was removed"
call :log
exit /b 16
:have_target
set "locked="
set "result="
call :try_lock 2>nul
if defined locked goto :unlocked
call :why_not_locked
if defined cannot goto :cannot_lock
if %lock_waited% equ 0 echo %date% %time% another install.cmd or uninstall.cmd is running: waiting for it to end, %lock_limit% seconds at most
if %lock_waited% geq %lock_limit% goto :lock_timeout
"%system%\ping.exe" -n 2 127.0.0.1 >nul
set /a lock_waited+=1
goto :take_lock
:lock_timeout
set "message=another install.cmd or uninstall.cmd has been running for %lock_limit% seconds: nothing was removed"
call :log
exit /b 1618
:cannot_lock
set "message=cannot take the lock %target%\install.lock: %cannot%; nothing was removed"
call :log
exit /b 16

:try_lock
call :locked 2>"%target%\install.lock"
exit /b 0

rem As in install.cmd: why install.lock could not be opened, asked of the
rem platform; nothing when another run holds it.
:why_not_locked
set "cannot="
if not exist "%target%\" exit /b 0
call :attributes_of "%target%\install.lock"
if "%attributes:~0,1%"=="d" goto :lock_is_folder
set "probe_file=%target%\uninstall-probe-%random%%random%.tmp"
copy /y nul "%probe_file%" >nul 2>&1
if errorlevel 1 goto :not_allowed
del "%probe_file%" >nul 2>&1
exit /b 0
:lock_is_folder
set "cannot=it is a folder, not a file: remove it"
exit /b 0

rem As in install.cmd: why this run may not write in the target folder.
:not_allowed
"%system%\fltmc.exe" >nul 2>&1
set "fltmc_code=%errorlevel%"
set "cannot=this run is not elevated, it has no administrator's rights (fltmc, which needs them, exited with %fltmc_code%): run it as SYSTEM or from an elevated prompt"
if "%fltmc_code%"=="0" set "cannot=this account may not write there: the folder's permissions deny it"
exit /b 0

rem Sets attributes to those of %1 as cmd shows them, d first for a folder,
rem or to "-" when there is nothing there. (Not if exist "%1\": Wine's cmd
rem finds a file too that way.)
:attributes_of
set "attributes=%~a1-"
exit /b 0

:locked
set "locked=yes"
:name_work
set "work=%target%\uninstall-%random%%random%.tmp"
if exist "%work%" goto :name_work
for %%w in ("%work%") do set "work_name=%%~nxw"
call :uninstall
set "result=%errorlevel%"
del "%work%" >nul 2>&1
exit /b 0

rem The lock is let go; the folder goes now if nothing but install.lock is
rem in it (a folder made only for the lock without a word). Another run may
rem take the lock in the meantime: it then holds install.lock open for
rem writing, and the folder is its own. Anything else that holds
rem install.lock (a scanner, say) is waited for, ten tries a second apart.
:unlocked
set /a tries=0
:remove_folder
set "folder_holds="
for /f "eol=/ delims=" %%f in ('dir /b /a "%target%" 2^>nul') do if /i not "%%f"=="install.lock" set "folder_holds=yes"
if defined folder_holds exit /b %result%
del "%target%\install.lock" >nul 2>&1
rmdir "%target%" >nul 2>&1
if not exist "%target%\" goto :folder_removed
if not exist "%target%\install.lock" goto :try_again
set "lock_free="
call :try_free 2>nul
if not defined lock_free goto :lock_taken
:try_again
set /a tries+=1
if %tries% geq 10 goto :folder_kept
"%system%\ping.exe" -n 2 127.0.0.1 >nul
goto :remove_folder
:folder_removed
if defined made exit /b %result%
set "message=removed %target%"
call :log
exit /b %result%
:lock_taken
set "message=%target% is kept: another install.cmd or uninstall.cmd took its lock as this run let go of it"
call :log
exit /b %result%
:folder_kept
set "message=cannot remove %target%"
call :log
if "%result%"=="0" exit /b 11
exit /b %result%

rem Sets lock_free when install.lock can be opened for writing, that is
rem when no other run holds it.
:try_free
call :is_free 2>"%target%\install.lock"
exit /b 0
:is_free
set "lock_free=yes"
exit /b 0

:uninstall
set "message=uninstalling %service%"
call :log
set "marked="

rem Not registered: no state, and sc's code for an unknown service (1060;
rem Wine 8's sc exits with 1). No state with another code: sc could not ask.
call :query_state
if defined state goto :registered
if "%sc_code%"=="1060" goto :not_registered
if "%sc_code%"=="1" goto :not_registered
set "message=cannot read the state of %service%: sc query exited with %sc_code%; nothing was removed"
call :log
exit /b 14
:not_registered
set "message=%service% is not registered"
call :log
goto :clear_record

:registered
call :query_image
if not defined image set "image=none that reg can read"
set "message=%service% is registered (its program: %image%, %state%)"
call :log
if "%state%"=="1 STOPPED" goto :delete
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
set "message=%service% did not stop within 60 seconds (%state%): nothing was removed"
call :log
exit /b 12
:has_stopped
set "message=%service% stopped"
call :log

rem A deleted service goes once nothing holds it open any more; until then
rem the manager keeps it, marked for deletion (a second delete fails with
rem 1072). It is given 10 seconds.
:delete
"%system%\sc.exe" delete %service% >nul 2>&1
set "sc_code=%errorlevel%"
if "%sc_code%"=="1072" goto :marked
if "%sc_code%"=="0" goto :deleted
set "message=cannot delete the registration of %service%: sc delete exited with %sc_code%; nothing else was removed"
call :log
exit /b 11
:deleted
set /a waited=0
:wait_removed
call :query_state
if not defined state goto :removed
if %waited% geq 10 goto :marked
"%system%\ping.exe" -n 2 127.0.0.1 >nul
set /a waited+=1
goto :wait_removed
:marked
set "marked=yes"
set "message=the registration of %service% is marked for deletion: another program holds the service open; it goes when that program lets go, at the latest at the next restart"
call :log
goto :clear_record
:removed
set "message=removed the registration of %service%"
call :log

rem Detection rules see the service as gone.
:clear_record
set "failed="
"%system%\reg.exe" delete "%record_key%" /v %record_value% /f /reg:64 >nul 2>&1
"%system%\reg.exe" query "%record_key%" /v %record_value% /reg:64 >nul 2>&1
if errorlevel 1 goto :record_cleared
set "failed=yes"
set "message=cannot delete %record_key%\%record_value%"
call :log
:record_cleared
rem The key goes too when reg lists nothing in it but its own name.
"%system%\reg.exe" query "%record_key%" /reg:64 >"%work%" 2>nul
if errorlevel 1 goto :files
set "key_holds="
for /f "usebackq tokens=1-3" %%a in ("%work%") do if /i "%%a %%b"=="HKEY_LOCAL_MACHINE\SOFTWARE\Vek System" (if /i not "%%c"=="Service" set "key_holds=yes") else set "key_holds=yes"
if defined key_holds goto :files
"%system%\reg.exe" delete "%record_key%" /f /reg:64 >nul 2>&1

rem install.cmd's files: the programs, the log, and what a run cut short
rem leaves (a program copied under its temporary name, a work file of either
rem script). A stopped service's process may hold its file a moment longer:
rem each is tried ten times, a second apart.
:files
for %%f in ("%program%" "%setup%" "%program%.new" "%setup%.new" "install.log") do call :remove "%%~f"
for %%f in ("%target%\install-*.tmp" "%target%\uninstall-*.tmp") do if /i not "%%~nxf"=="%work_name%" call :remove "%%~nxf"

rem What is left but the lock and this run's work file was not put there by
rem install.cmd: it stays, with the folder, and is named. (eol=/: no file
rem name begins with it, while one may begin with for's default, ";".)
for /f "eol=/ delims=" %%f in ('dir /b /a "%target%" 2^>nul') do (
    set "name=%%f"
    call :name_other
)
if defined failed exit /b 11
if defined marked exit /b 3010
exit /b 0
:name_other
if /i "%name%"=="install.lock" exit /b 0
if /i "%name%"=="%work_name%" exit /b 0
set "message=left in %target%, not installed by install.cmd: %name%"
call :log
exit /b 0

:remove
if not exist "%target%\%~1" exit /b 0
set /a tries=0
:remove_again
del /f /q "%target%\%~1" >nul 2>&1
if not exist "%target%\%~1" goto :removed_file
set /a tries+=1
if %tries% lss 10 "%system%\ping.exe" -n 2 127.0.0.1 >nul
if %tries% lss 10 goto :remove_again
set "failed=yes"
set "message=cannot remove %target%\%~1"
call :log
exit /b 0
:removed_file
set "message=removed %target%\%~1"
call :log
exit /b 0


:no_program_files
set "message=ProgramW6432 is not set: this is not 64-bit Windows; nothing was removed"
call :log
exit /b 11

rem Writes %message% to standard output and to the log, after the date and
rem time, as install.cmd does.
:log
setlocal EnableDelayedExpansion
echo %date% %time% !message!
if defined log >>"%log%" echo %date% %time% !message!
endlocal
exit /b 0

rem Sets state to the service's state as sc query shows it, number and word
rem ("4 RUNNING"), or to nothing when no line holds one; sc_code to sc's exit
rem code. (As in install.cmd: the labels are translated, the state words not.)
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
rem quotes), or to nothing when it cannot be read.
:query_image
set "image="
"%system%\reg.exe" query "HKLM\SYSTEM\CurrentControlSet\Services\%service%" /v ImagePath >"%work%" 2>nul
for /f "usebackq tokens=1,2,*" %%a in ("%work%") do if /i "%%a"=="ImagePath" set "image=%%c"
if defined image set "image=%image:"=%"
exit /b 0
