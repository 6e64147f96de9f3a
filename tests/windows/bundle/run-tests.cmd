@echo off
rem Runs every test program of this bundle against this machine's own service
rem control manager, and checks that the run leaves nothing behind. Run it
rem from an elevated prompt (as an administrator). tests\bundle-helper.exe
rem does the run and prints its closing line "N passed, M failed"; each
rem program's output is in logs\. Exit code 0: nothing failed; 1: something
rem failed (or the runner itself did); 2: the run could not start.
setlocal EnableExtensions DisableDelayedExpansion
rem Wine's cmd mangles a percent sign in %~dp0 (Windows' does not): only where
rem %~dp0 does not lead to a bundle is the current folder taken instead.
if exist "%~dp0vek-tests.marker" if exist "%~dp0tests\bundle-helper.exe" pushd "%~dp0"
if not exist "vek-tests.marker" goto no_bundle
if not exist "tests\bundle-helper.exe" goto no_bundle
"tests\bundle-helper.exe" run-tests
set "code=%ERRORLEVEL%"
rem A crash is a large or negative code, which "if errorlevel" does not see.
if "%code%"=="0" exit /b 0
if "%code%"=="2" exit /b 2
if not "%code%"=="1" echo run-tests: tests\bundle-helper.exe ended with exit code %code%, before the end of the run.
exit /b 1
:no_bundle
echo run-tests: the bundle's files are not here; run run-tests.cmd from the folder it was unpacked to.
exit /b 2
