// The message table: every user-visible text and its key.
#include "core/store/msgtable.h"

#include <map>
#include <mutex>

namespace yux {
namespace {

struct Entry {
  const char* key;
  const char* english;
};

// English defaults, in the order in which a language file is read.
constexpr Entry kDefaults[] = {
    {"dialupconnected", "DIALUP - Connected."},
    {"dialupword", "DIALUP - "},
    {"dialuphangingup", "DIALUP - Hanging up."},
    {"dialupnotestablished", "DIALUP - Dialup account has not been selected yet."},
    {"dialupalreadyactive", "DIALUP - Connection already active"},
    {"dialupcantgetparams", "DIALUP - Can't get account params (err. %s)"},
    {"dialupdialing", "DIALUP - Dialing "},
    {"dialupredialing", "DIALUP - Redialing "},
    {"logwasreducedtolines", "Log has been reduced to %d lines."},
    {"specifyfolder", "Please specify a folder"},
    {"yuxremoteaccess", "YUX Remote Access"},
    {"yuxcontrolpanel", "YUX Control Panel"},
    {"commandword", "Command:"},
    {"linesword", "Lines:"},
    {"refreshword", "Refresh:"},
    {"updateword", "Update"},
    {"yuxlogfile", "Yux log file."},
    {"localservertime", "Local server time: "},
    {"refreshinterval", "Refresh interval: "},
    {"secondsword", "seconds"},
    {"winrarlogfile", "YUX WinRAR error log file"},
    {"nowinrarlogfile", "File \"winrar.log\" doesn't exist, possibly no WinRAR errors have occurred yet."},
    {"yuxschedule", "YUX schedule and available presets"},
    {"thefollowingpresetsscheduled", "The following presets are currently scheduled:"},
    {"dateandtimeword", "Date and time"},
    {"presetnameword", "Preset name"},
    {"optionsword", "Options"},
    {"scheduleisempty", "The schedule is empty."},
    {"presetsforscheduling", "The following presets are available for scheduling:"},
    {"scheduledexecutionword", "Scheduled execution"},
    {"previousexecutionword", "Previous execution"},
    {"therearenopresets", "There are no presets available."},
    {"yuxremotecontrol", "YUX remote control"},
    {"pleasecheckthesettings", "Please check the settings!"},
    {"enteradminpassword", "Enter admin password"},
    {"incorrectpassword", "Incorrect password."},
    {"schedulerisoff", "Scheduler is turned off "},
    {"schedulerisempty", "Schedule is empty "},
    {"isrunningnow", " is running at the moment"},
    {"yuxschedulertip", "Yux - Scheduler"},
    {"enterpasswordfor", "Enter password for "},
    {"yuxisactive", "YUX is already running!"},
    {"sendabortrequest", "Send ABORT request"},
    {"yuxloadingsettings", "YUX started, loading settings."},
    {"invalidfolder", "Invalid temp folder. Changed to default"},
    {"tempfoldertodefault", "Temp folder has been set to default"},
    {"winrarpathsetto", "WinRAR path has been set to "},
    {"nowinrarexe", "WinRAR has not been found. Please specify its path manually"},
    {"cantdeltempfile", "Error deleting temporary file."},
    {"winrarnotfound", "WinRAR is not found. Check paths."},
    {"notasksforpreset", "YUX - there are no tasks for this preset, operation canceled."},
    {"cantcreatetempfolder", "Error creating temp folder."},
    {"cantcreatedestfolder", "Error creating destination folder."},
    {"directraringstarted", "WinRAR - Started (direct raring mode, expect no further notifications)."},
    {"winrarstarted", "WinRAR - Started."},
    {"calledbythescheduler", ": Called by the scheduler."},
    {"abortrequested", "Abort requested."},
    {"aborted", "Aborted."},
    {"errorrunningwinrar", "Error running winrar.exe."},
    {"winrarcanceledbyuser", "WinRAR - Canceled by the user."},
    {"winrarerror", "WinRAR - Error %d (see WinRAR log for details)."},
    {"winrarwarning", "WinRAR reported a warning (non-critical)."},
    {"winrardonefiles", "WinRAR - Done (%d files, %s)."},
    {"winrardonefile", "WinRAR - Done (%d file, %s)."},
    {"cdstarted", "CD - Started."},
    {"insertcd", "Please insert a CD."},
    {"cderasing", "CD - Erasing the disc."},
    {"cderaseerror", "CD - Erase error."},
    {"cdnotrw", "CD - Cannot erase, the CD is not rewritable."},
    {"cderror", "Error"},
    {"cdnofilestoprecess", "CD - No files to process."},
    {"cdnodiscindrive", "CD - There is no writable CD in the drive. Operation canceled."},
    {"cdnoimapi", "CD - The disc writing service is not available."},
    {"dialupalreadyestablished", "DIALUP - Connection %s is already established."},
    {"dialupwaiting", "DIALUP - Waiting for connection (%d seconds max)."},
    {"dialupnoconnection", "DIALUP - No connection."},
    {"abortreq10", "Abort requested. Waiting for 10 seconds."},
    {"smtpfilesforyou", "Files for you (sent by YUX)."},
    {"smtpconnectingto", "SMTP - Connecting to "},
    {"smtpnofiles", "SMTP - No files to process."},
    {"smtpskipnodualup", "SMTP - Skipping because of no dialup connection."},
    {"ftpconnectingto", "FTP - Connecting to "},
    {"ftpnofiles", "FTP - No files to process."},
    {"ftpskipnodialup", "FTP - Skipping because of no dialup connection."},
    {"insertnextdisk", "Please insert next diskette."},
    {"emptyingfolder", "COPY - Emptying the destination folder (mask - "},
    {"fileexistsdelete", "COPY - File %s already exists, deleting."},
    {"nopermissiondelete", "COPY - File %s already exists, no permission to overwrite."},
    {"cannotwrite", "COPY - Cannot write %s to the specified location."},
    {"successfullycopied", "COPY - Successfully copied"},
    {"nofilestoprecess", "COPY - No files to process."},
    {"errorduringoperation", "Error during the operation."},
    {"doneword", "Done."},
    {"presetwasadded", "Preset has been added."},
    {"deletepreset", "This preset will be deleted. Proceed?"},
    {"ftperror", "FTP - Error "},
    {"ftptryingagain", "FTP - Trying again in %d seconds"},
    {"ftpcancelnomoreretr", "FTP - All FTP tasks have been canceled (no more retries allowed)."},
    {"ftpcancelnoreit", "FTP - All FTP tasks have been canceled (reiteration feature is off)."},
    {"ftpchangingfolder", "FTP - Changing folder to"},
    {"ftpupload", "FTP - Trying to upload"},
    {"ftpuploaded", "FTP - Successfully uploaded"},
    {"ftpcantupload", "FTP - Unable to upload"},
    {"ftpdisconnected", "FTP - Disconnected."},
    {"ftpdisconnectedwitherror", "FTP - Disconnected with error "},
    {"ftpunknownreq", "FTP - Unknown RqType "},
    {"cdpreparingdisc", "CD - Preparing the disc."},
    {"cdclosingdisc", "CD - Closing the disc."},
    {"cdcomplete", "CD - Burn complete. Status: "},
    {"cdburning", "CD - Burning at "},
    {"cdpreparing", "CD - Preparing the image."},
    {"cderasecomplete", "CD - Erase complete. Status: OK."},
    {"anotheryuxupdatedsch", "Another instance of YUX has updated the scheduler."},
    {"delayedremoving", "Delayed, removing from the schedule according to the options."},
    {"delayedskipping", "Delayed, skipping the execution according to the options."},
    {"removingrepiszero", "Removing from the schedule (repeat=0)."},
    {"reboot", "Rebooting the system."},
    {"shutdown", "Shutting down the system."},
    {"logoff", "Logging off from the system."},
    {"hibernate", "Hibernating."},
    {"suspend", "Suspending."},
    {"trunclog", "Truncating the log file."},
    {"commandinvalidparam0", "Command \"%s\" - invalid parameter, set to 0."},
    {"commandinvalidparam", "Command \"%s\" - invalid parameter."},
    {"unschedulereq", "Removing from the schedule (/unschedule request)."},
    {"yuxhaltsword", "YUX halts."},
    {"smtperror", "SMTP - Error "},
    {"smtptryingagain", "SMTP - Trying again in %d seconds"},
    {"smtpcancelnomoreretr", "SMTP - All SMTP tasks have been canceled (no more retries allowed)."},
    {"smtpcancelnoreit", "SMTP - All SMTP tasks have been canceled (reiteration feature is off)."},
    {"smtpupload", "SMTP - Trying to send"},
    {"sentbyyux", "(sent by YUX)."},
    {"smtpuploaded", "SMTP - Successfully sent"},
    {"smtploggingoff", "SMTP - Logging off from the server."},
    {"smtpdisconnected", "SMTP - Disconnected."},
    {"httpisrunning", "HTTP - Server is already running."},
    {"httpstartingonport", "HTTP - Starting remote access on port "},
    {"httpunabletostart", "HTTP - Unable to start server."},
    {"httpportused", "HTTP - Port %s is already used by another application."},
    {"httpword", "HTTP - "},
    {"httpstarted", "HTTP - Started."},
    {"httpavailas", "HTTP - Available as"},
    {"httpnotauthorized", "HTTP - Authorization failed"},
    {"yuxisreadynow", "YUX is ready now."},
    {"httpupdatedparams", "Your params have been updated. Press \"Refresh\" button."},
    {"schedulererrordate", "SCHEDULER - Error in DATE format; set to default."},
    {"schedulererrorrepeat", "SCHEDULER - Error in REPEAT format; set to default."},
    {"schedulererrorinterval", "SCHEDULER - Error in INTERVAL format; set to default."},
    {"schedulererrorondelay", "SCHEDULER - Error in ONDELAY format; set to default."},
    {"schedulererrorprecise", "SCHEDULER - Error in PRECISE format; set to default."},
    {"schedulerunrecognizedparam", "SCHEDULER - Unrecognized parameter \"%s\"; skipped."},
    {"httpforcereboot", "HTTP - Force Reboot request, trying to reboot immediately."},
    {"httpabortrequest", "HTTP - Abort request, trying to abort immediately."},
    {"httpreceivedcommand", "HTTP - Received command:"},
    {"httpcommandwassent", "Your command has been sent."},
    {"operationtimeout", "Operation timeout, aborting."},
    {"dow1", "Sunday"},
    {"dow2", "Monday"},
    {"dow3", "Tuesday"},
    {"dow4", "Wednesday"},
    {"dow5", "Thursday"},
    {"dow6", "Friday"},
    {"dow7", "Saturday"},
    {"eventoccuredon", "The event occurred on"},
    {"daysago", " days ago."},
    {"eventoccuredtoday", "The event occurred today"},
    {"eventoccuredyesterday", "The event occurred yesterday"},
    {"eventonword", "on "},
    {"addatleastsomething", "You should add at least something to the include list."},
    {"updateinclist", "Update your include list and switch to notepad right now?"},
    {"updateexclist", "Update your exclude list and switch to notepad right now?"},
    {"priordef", "Default"},
    {"priorlow", "Low"},
    {"priornrm", "Normal"},
    {"priorhigh", "High"},
    {"specpreset", "Please specify the preset's name."},
    {"specftp", "Please specify the name of FTP server."},
    {"specsmtpdata", "Please specify SMTP server, FROM and TO emails for error reporting."},
    {"specsmtpforlog", "/SENDLOG requires SMTP server name, FROM and TO emails specified on settings/error reporting page."},
    {"specfilename", "Please specify the backup file's name."},
    {"specbkfolder", "Please specify the backuping folder."},
    {"enternewpass", "Enter new password"},
    {"cemptyerasedisk", "Erase floppy disk contents"},
    {"cemptymask", "Empty this folder (mask)"},
    {"saveasdefault", "Save current settings as default?"},
    {"firstsavethenrestore", "To restore defaults you should save them first!"},
    {"replacesettingsdef", "Replace current settings with defaults?"},
    {"httpnotrunning", "HTTP - Server is not running now."},
    {"httpstopped", "HTTP - Stopped."},
    {"errorcannotedit", "Error: Cannot edit "},
    {"cannotcreateconnection", "Error - cannot create a new phonebook entry"},
    {"publishskin", "To publish your skin, send the skin file and its pictures to the YUX developers through the YUX website."},
    {"needtorestart", "You must restart YUX to apply default language settings."},
    {"invalidparamexit", "Invalid parameter. YUX will exit."},
    {"schedulerunknowncomm", "SCHEDULER - Unknown command - "},
    {"schedulernosuchpreset", "SCHEDULER - No such preset - "},
    {"scheduleradded", "SCHEDULER - Added: "},
    {"schedulerdeleted", "SCHEDULER - Deleted: "},
    {"schcantturnon", "SCHEDULER - cannot turn on: another instance of YUX is already running."},
    {"schturnedon", "SCHEDULER - turned ON from command line."},
    {"schcantturnoff", "SCHEDULER - cannot turn off: another instance of YUX is already running."},
    {"schturnedoff", "SCHEDULER - turned OFF from command line."},
    {"removefromsch", "This preset will be removed from the schedule. Proceed?"},
    {"scheduleron", "SCHEDULER - turned ON."},
    {"scheduleroff", "SCHEDULER - turned OFF."},
    {"schonword", "ON"},
    {"schoffword", "OFF"},
    {"passesdontmatch", "Passwords are different."},
    {"cantduplicate", "Unable to duplicate the preset. Invalid filename?"},
    {"yuxwillexit", "YUX will automatically exit in %d seconds."},
    {"notsmexe", "Cannot find \"sm.exe\". Please reinstall the application."},
    {"addonepreset", "Please add at least one preset."},
    {"errorcannotdelete", "Cannot delete this entry."},
    {"rasreallydelete", "Are you sure you want to delete this phonebook entry?"},
    {"rasdeleted", "The entry has been deleted."},
    {"noclnrwithdirectraring", "Copy Cleaner is not available in direct raring mode."},
    {"mustadddatetime", "Add date/time to backup file name to use Copy Cleaner."},
    {"copycleanerdeleted", "COPY - Cleaner deleted "},
    {"copycleanercannotdelete", "COPY - Cleaner cannot delete "},
    {"copycleanernofile", "COPY - Cleaner cannot find file, skipping "},
    {"ftpcleanerdelete", "FTP - Cleaner is trying to delete "},
    {"ftpcleanerdeleted", "FTP - Cleaner successfully deleted "},
    {"ftpcleanercannotdelete", "FTP - Cleaner cannot delete "},
    {"langdoesntexist", "Language %s doesn't exist"},
    {"langwassetto", "Default language was set to "},
    {"lngname", "Language: "},
    {"lngdev", "Developer: "},
    {"lngemail", "Contacts: "},
    {"lngdate", "Last modified: "},
    {"lngyux", "Compatibility: "},
    {"lngreportmisprints", "Please report misprints and translation inaccuracy to the developer."},
    {"cdskipped", "CD - Burning process was skipped due to erase error."},
    {"cdnotenoughspace", "CD - Not enough free space on the CD to burn files."},
    {"cdmediainfo", "CD - Medium info: %s total, %s free."},
    {"cdmusterase", "CD - There isn't enough free space on the CD, so it's time to erase it."},
    {"cdnoneedtoerase", "CD - No need to erase this CD, it is empty."},
    {"cdcantfitfiles", "CD - The size of the archive exceeds the capacity of the CD. Skipping the CD process."},
    {"duplicatepreset", "YUX - Duplicate preset"},
    {"renamepreset", "YUX - Rename preset"},
    {"cantrename", "Unable to rename the preset. Invalid filename?"},
    {"syncexecution", "Sync execution: "},
    {"asyncexecution", "Async execution: "},
    {"cannotexecuteexternal", "Cannot execute external program"},
    {"schedulerword", "SCHEDULER - "},
    {"firstenterpresetname", "You must enter a preset name before you can edit file lists in Notepad."},
    {"reqtosavefornewpreset", "It is required to save file lists before you are able to edit them in Notepad.\rAccept \"%s\" as new preset name?\r"},
    {"nonewordtranslated", "None"},
    {"autowordtranslated", "Auto"},
    {"cdverifying", "CD - Verifying "},
    {"wasaddedtoexc", " mask was added to the exclude list."},
    {"isalreadyinexc", " mask is already in the exclude list."},
    {"safeexitignored", "/SAFEEXIT call was ignored due to an error."},
    {"selectapreset", "Please select a preset first."},
    {"yuxerrorreport", "YUX error report."},
    {"emailreportsend", "Sending e-mail report..."},
    {"emailreportok", "Error report has been sent to "},
    {"emailreportbad", "FAILED TO SEND ERROR REPORT TO "},
    {"nonetworkfolders", "Network folders cannot be used here."},
    {"deletelog", "The log file will be completely removed. Proceed?"},
    {"reallyallowdefaults", "Unchecking this checkbox may lead to unpredictable results. If you uncheck this checkbox, you become responsible for all undesirable consequences including data loss. Do you still want to uncheck it?"},
    {"createpresfirst", "Operations with images are allowed for existing presets only. First save the preset (OK button) and then get back here to attach or delete an image."},
    {"imagewasattached", "The image was attached to the preset."},
    {"errorattachimage", "Couldn't copy bmp file; the image was not attached."},
    {"setstdimage", "Do you really want to apply default preset image?"},
    {"nouniqueimage", "The preset doesn't have a unique image yet."},
    {"sendword", "Send"},
    {"httpcontrolpanel", "Control panel"},
    {"httpviewpreslist", "View the preset list and the schedule"},
    {"httpwinrarlog", "View WinRAR error log"},
    {"httpcmdonly", "Command/options only"},
    {"httplogonly", "View YUX log only"},
    {"yuxbinproblem", "Problem occured when working with YUX-BIN"},
    {"recycleconfirm", "Move %s item(s) to YUX-RECYCLE?"},
    {"ftpdownload", "FTP - Trying to download"},
    {"ftpdownloaded", "FTP - Successfully downloaded"},
    {"ftpcantdownload", "FTP - Unable to download"},
    {"cannotlocatefile", "Cannot locate this file"},
    {"restoreemail", "Please start your e-mail client, open %s account and locate a message with the subject \"%s %s\". It was sent on %s. Save the attached archive to your hard drive and doubleclick it to open it in WinRAR."},
    {"deleteafterwarning", "Warning: all files will be ACTUALLY DELETED from the hard drive after the archive is successfully created. Please understand that this option may be dangerous when used improperly. Do you still want to enable this option?"},
    {"cannotaddlocation", "Cannot add \"%s\". Try dragging it from Explorer."},
    {"includedword", "Included"},
    {"excludedword", "Excluded"},
    {"needyuxsvc", "In order to use this feature you should install YUXSVC.EXE to the main YUX folder. The YUXSVC can be downloaded free of charge from Pellmor Website."},
    {"shellnotifiercall", "SHELL NOTIFIER: task \"%s\" schedules \"%s\" to %s."},
    {"nokeeperenabled", "YUX-Keeper is disabled. Please enable it in the settings window first."},
    {"norecycleenabled", "YUX-Recycle is disabled. Please enable it in the settings window first."},
    {"couldntgetftphost", "Couldn't accuire real FTP host from a HTTP script, cancelled"},
    {"logtoemailsending", "Sending log to "},
    {"logtoemailsubj", "YUX log file for %s hours."},
    {"logtoemailnoerr", "There were no error messages during this period."},
    {"logtoemailwaserr", " error(s) occured during this period."},
    {"logtoemailperiodof", "The period of "},
    {"logtoemaillogempty", "Log is empty now."},
    {"logtoemailreq", "/SENDLOG requested log for %s hours."},
    {"logtoemailsent", "Log report was successfully sent."},
    {"logtoemailnotsent", "Couldn't send log report. [!]"},
    {"ftpctrlconnclosed", "FTP - Info: FTP server closed control connection too quickly (non-critical)"},
    {"select1dow", "You should select at least one day of week to add the task."},
    // Our own texts, not among the keys that existing language files know
    // (such files leave them English): an options file with damaged lines,
    // and a language file that holds no language sections.
    {"optionsdamaged", "Options file is damaged: %d line(s) could not be read; their options keep their defaults."},
    {"langfileempty", "Language file %s holds no texts; the current texts stay."},
    // The disc delivery's own lines.
    {"cdnodrive", "CD - Drive %s: has no usable writer: %s"},
    {"drivenotused", "Drive %s: is not used: %s"},
    {"cdnotverified", "CD - The drive did not get ready after the write; the files were not verified."},
    {"cdhistorywritefailed", "CD - Cannot record the delivery of %s: %s"},
    {"cdverifyok", "CD - Verifying done, all files are OK."},
    {"cdverifyfailed", "CD - Verifying done, AT LEAST ONE FILE FAILED"},
    {"cdverifyfailedfor", "CD - VERIFY FAILED FOR "},
    {"cdrefused", "CD - %s cannot go on the disc: %s."},
    {"cdnothingtowrite", "CD - None of the files can go on the disc; nothing was written."},
    {"cdverifynotstarted", "CD - The verify could not start; no file counts as written to the disc."},
    {"cdverifynotended", "CD - The verify ended without its result; no file counts as written to the disc."},
    {"cdnotinsession", "CD - %s is not in the written session."},
    // The web panel refuses to start without credentials.
    {"httpneedscredentials", "HTTP - The web control panel needs a login and a password; it was not started."},
    // The FTP watchdog, and the cleaner sparing a name this run uploaded
    // (archive names without a time stamp repeat).
    {"ftphanging", "FTP Server is hanging, aborting the transfer"},
    {"ftpcleanerkept", "FTP - Cleaner keeps a file this run uploaded: "},
    // The cleaners delete an expired name only where the history places it,
    // never a name of the current run; emptying by mask spares the run's files.
    {"copycleanerkept", "COPY - Cleaner keeps a file of this run: "},
    {"copycleanernotplaced", "COPY - Cleaner skips %s: the history does not place it in this destination folder."},
    {"ftpcleanernotplaced", "FTP - Cleaner skips %s: the history does not place it in this folder of the server."},
    {"copycleanerbadname", "COPY - Cleaner skips \"%s\": not a file name."},
    {"ftpcleanerbadname", "FTP - Cleaner skips \"%s\": not a file name."},
    {"copycleanerstopped", "COPY - Cleaner stopped: %s"},
    {"ftpcleanerstopped", "FTP - Cleaner stopped: %s"},
    {"emptyingspares", "COPY - Emptying spares %s: a file of this run."},
    // The volumes of an earlier set of an archive name, removed once the new
    // set of that name is delivered whole.
    {"copystalevolumedeleted", "COPY - Deleted %s: a volume of an earlier set of the same name."},
    {"copystalevolumecannotdelete", "COPY - Cannot delete %s, a volume of an earlier set of the same name: %s"},
    {"copystalevolumesnotlisted", "COPY - Cannot look for volumes of an earlier set of the same name in %s: %s"},
    {"ftpstalevolumedeleted", "FTP - Deleted %s: a volume of an earlier set of the same name."},
    {"ftpstalevolumecannotdelete", "FTP - Cannot delete %s, a volume of an earlier set of the same name: %s"},
    {"ftpstalevolumesnotlisted", "FTP - Cannot look for volumes of an earlier set of the same name in %s: %s"},
    {"cdstalevolumeleftout", "CD - %s is left out of the new session: a volume of an earlier set of the same name."},
    // The e-mail session's inactivity limit (%d: seconds without a reply).
    {"smtpnoanswer", "SMTP - The server has not answered for %d seconds, dropping the connection"},
    // Error mail: lines beyond what one round of reports sends.
    {"emailreportdropped", " error line(s) were not mailed: too many at once."},
    // An error line the close could not mail in its time.
    {"emailreportnotsent", "Error report not sent: "},
    // A dial-up attempt whose wait ran out.
    {"dialuptimeout", "DIALUP - No connection within %d seconds."},
    // Run safety: undelivered archives, sources deleted after delivery.
    {"keptfiles", "Undelivered files were kept in \"%s\"."},
    {"keptelsewhere", "%s did not reach every destination; it is in \"%s\"."},
    {"leftoverrunfolder", "A run was cut off and left its folder \"%s\" behind."},
    {"runfolderinuse", "The run folder \"%s\" belongs to a run that is still going on; it was left alone."},
    {"runfolderlater", "Another YUX runs a backup on this settings folder; the run folder \"%s\" is left for a later start."},
    {"notarunfolder", "\"%s\" is not a run folder of this temp folder (a private folder of eight capital letters); it was left alone."},
    {"partialcopyremoved", "The unfinished copy \"%s\" was removed."},
    {"sessionendrefused", "The close at the end of the session was refused; YUX goes on."},
    {"noarchiveproduced", "WinRAR - No archive was produced; nothing was delivered."},
    {"historywritefailed", "COPY - Cannot record the delivery of %s: %s"},
    {"badarchivename", "The archive name \"%s\" is not a file name."},
    {"sourcesdeleted", "Deleted %d archived source file(s)."},
    {"sourceskept", "%d source file(s) were kept: changed since they were archived, not the only file of their stored name, reached through a linked folder, or not found."},
    {"sourcesnotdeleted", "The sources were not deleted: %s"},
    {"sourcesnotdelivered", "the archive did not reach any destination."},
    {"sourceslistchanged", "the include or exclude list was changed while the archive was made."},
    {"sourcesnotwiped", "%d deleted source file(s) were not overwritten: their data has other names."},
    {"langcantchange", "LANGUAGE - cannot change the language: another instance of YUX is already running."},
    // Schedule entries that could never run again.
    {"removingnoday", "No day of the week is allowed, removing from the schedule."},
    {"clockwentback", "SCHEDULER - The clock went back by %s (from %s to %s); moved back to their first time after now: %s."},
    {"removingbadinterval", "The interval is below one minute, removing from the schedule."},
    // The preset dialog's refusals of a new preset's name, its save failure,
    // a CD/DVD destination without a recorder, and the file browser's drives.
    {"presetexists", "A preset named \"%s\" already exists. Choose another name."},
    {"presetfilesexist", "Files of a preset named \"%s\" already lie in the presets folder. Choose another name."},
    {"presetnamestar", "A preset name must not begin with \"*\"."},
    {"presetnametoolong", "The preset name \"%s\" is too long for a file name."},
    {"savepreseterror", "Save preset error! The file \"%s\" could not be written: %s"},
    {"cdnotrecorder", "Drive %s: is not a CD/DVD recorder here. Save with the CD/DVD destination switched off?"},
    {"drivenotmapped", "Drive %s: is not assigned to a folder here."},
    {"driveisoptical", "Drive %s: is a CD/DVD drive; its files cannot be browsed here."},
    {"foldernotfound", "The folder \"%s\" does not exist."},
    {"savechangesto", "Save the changes to \"%s\"?"},
};

using Map = std::map<std::string, std::string, std::less<>>;

std::mutex g_mutex;
Map& Table() {
  static Map table = [] {
    Map t;
    for (const auto& e : kDefaults) t.emplace(e.key, e.english);
    return t;
  }();
  return table;
}

}  // namespace

std::string MessageText(std::string_view key) {
  std::lock_guard lock(g_mutex);
  auto& t = Table();
  auto it = t.find(key);
  return it == t.end() ? std::string(key) : it->second;
}

std::string EnglishMessageText(std::string_view key) {
  for (const auto& e : kDefaults)
    if (key == e.key) return e.english;
  return std::string(key);
}

bool SetMessageText(std::string_view key, const std::string& text) {
  std::lock_guard lock(g_mutex);
  auto& t = Table();
  auto it = t.find(key);
  if (it == t.end()) return false;
  it->second = text;
  return true;
}

void ResetMessageTexts() {
  std::lock_guard lock(g_mutex);
  auto& t = Table();
  for (const auto& e : kDefaults) t[e.key] = e.english;
}

const std::vector<std::string_view>& MessageKeys() {
  static const std::vector<std::string_view> keys = [] {
    std::vector<std::string_view> k;
    for (const auto& e : kDefaults) k.emplace_back(e.key);
    return k;
  }();
  return keys;
}

std::string FormatText(std::string_view format, const std::vector<std::string>& args) {
  std::string out;
  out.reserve(format.size());
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out += c;
      continue;
    }
    char f = format[i + 1];
    if (f == '%') {
      out += '%';
      ++i;
    } else if ((f == 's' || f == 'd') && next < args.size()) {
      out += args[next++];
      ++i;
    } else {
      out += c;  // unknown sequence or no argument left: keep it as written
    }
  }
  return out;
}

}  // namespace yux
