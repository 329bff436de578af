<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE" sourcelanguage="en">
<context>
    <name>ArchiveMedium</name>
    <message>
        <source>%1 cannot be read: %2</source>
        <translation>%1 kann nicht gelesen werden: %2</translation>
    </message>
    <message>
        <source>its path is absolute</source>
        <translation>sein Pfad ist absolut</translation>
    </message>
    <message>
        <source>its path leads out of the archive (&quot;..&quot;)</source>
        <translation>sein Pfad führt aus dem Archiv hinaus (&quot;..&quot;)</translation>
    </message>
    <message>
        <source>its path is deeper than any medium&apos;s</source>
        <translation>sein Pfad ist tiefer verschachtelt als auf jedem Datenträger</translation>
    </message>
    <message>
        <source>%1 is refused: it would expand to %2, and %3 has only %4 free for it</source>
        <translation>%1 wird abgelehnt: Entpackt wäre es %2 groß, auf %3 sind dafür nur %4 frei</translation>
    </message>
    <message>
        <source>%1 stops: it expands to more than the %2 free for it in %3</source>
        <translation>%1 wird abgebrochen: Entpackt ist es größer als die %2, die dafür auf %3 frei sind</translation>
    </message>
    <message>
        <source>%1 is refused: its members would expand to %2, more than %3 times the archive&apos;s size (a ZIP bomb)</source>
        <translation>%1 wird abgelehnt: Die Inhalte wären entpackt %2 groß, mehr als das %3-Fache des Archivs (eine ZIP-Bombe)</translation>
    </message>
    <message>
        <source>%1 stops: its members expand to more than %2, more than %3 times the archive&apos;s size (a ZIP bomb)</source>
        <translation>%1 wird abgebrochen: Die Inhalte sind entpackt größer als %2, mehr als das %3-Fache des Archivs (eine ZIP-Bombe)</translation>
    </message>
    <message>
        <source>%1 is not extracted: %2</source>
        <translation>%1 wird nicht entpackt: %2</translation>
    </message>
    <message>
        <source>it is a hard link to %1, which is not a file of the archive</source>
        <translation>es ist ein harter Link auf %1, das keine Datei des Archivs ist</translation>
    </message>
    <message>
        <source>it is a symbolic link to %1</source>
        <translation>es ist ein symbolischer Link auf %1</translation>
    </message>
    <message>
        <source>it is not a regular file</source>
        <translation>es ist keine normale Datei</translation>
    </message>
    <message>
        <source>%1 is encrypted and is not extracted</source>
        <translation>%1 ist verschlüsselt und wird nicht entpackt</translation>
    </message>
    <message>
        <source>%1 is refused: its member %2 would expand to %3, more than %4 times the archive&apos;s size (a ZIP bomb)</source>
        <translation>%1 wird abgelehnt: Der Inhalt %2 wäre entpackt %3 groß, mehr als das %4-Fache des Archivs (eine ZIP-Bombe)</translation>
    </message>
    <message>
        <source>%1 has the name of an earlier member: it is extracted as %2/%3</source>
        <translation>%1 trägt den Namen eines früheren Inhalts: Es wird als %2/%3 entpackt</translation>
    </message>
    <message>
        <source>%1 is not extracted: a folder or file of the same name is in the way</source>
        <translation>%1 wird nicht entpackt: Ein Ordner oder eine Datei gleichen Namens ist im Weg</translation>
    </message>
    <message>
        <source>%1 stops: %2 expands beyond the %3 bytes its header gives (a ZIP bomb)</source>
        <translation>%1 wird abgebrochen: %2 wird beim Entpacken größer als die %3 Byte, die sein Kopf angibt (eine ZIP-Bombe)</translation>
    </message>
    <message>
        <source>%1 stops: %2 expands to more than %3 times its compressed size (a ZIP bomb)</source>
        <translation>%1 wird abgebrochen: %2 wird beim Entpacken größer als das %3-Fache seiner gepackten Größe (eine ZIP-Bombe)</translation>
    </message>
</context>
<context>
    <name>AuditSender</name>
    <message>
        <source>[TLS] %1 %2 %3</source>
        <translation>[TLS] %1 %2 %3</translation>
    </message>
    <message>
        <source>no connection within %1 seconds</source>
        <translation>keine Verbindung innerhalb von %1 Sekunden</translation>
    </message>
    <message>
        <source>holds no PEM certificate.</source>
        <translation>enthält kein PEM-Zertifikat.</translation>
    </message>
    <message>
        <source>is not a PEM certificate.</source>
        <translation>ist kein PEM-Zertifikat.</translation>
    </message>
    <message>
        <source>is not a PEM private key without a password.</source>
        <translation>ist kein PEM-Privatschlüssel ohne Passwort.</translation>
    </message>
    <message>
        <source>it takes no data</source>
        <translation>es nimmt keine Daten an</translation>
    </message>
    <message>
        <source>The audit record repository %1 did not take the audit messages (%2). They are kept and sent when it answers again.</source>
        <translation>Der Protokollserver für Zugriffsprotokolle %1 hat die Protokollmeldungen nicht angenommen (%2). Sie werden aufbewahrt und gesendet, sobald er wieder antwortet.</translation>
    </message>
</context>
<context>
    <name>BrowseForFolder</name>
    <message>
        <source>Choose</source>
        <translation>Auswählen</translation>
    </message>
    <message>
        <source>Folders, ZIP archives and disc images (*.zip *.ZIP *.iso *.ISO)</source>
        <translation>Ordner, ZIP-Archive und CD-Abbilder (*.zip *.ZIP *.iso *.ISO)</translation>
    </message>
</context>
<context>
    <name>DcmImage</name>
    <message>
        <source>Cannot set &quot;%1&quot;: the image&apos;s character set (%2) cannot hold it, and the image&apos;s text cannot be converted to Unicode (%3)</source>
        <translation>&quot;%1&quot; kann nicht eingetragen werden: Der Zeichensatz des Bildes (%2) kann es nicht darstellen, und der Text des Bildes lässt sich nicht in Unicode umwandeln (%3)</translation>
    </message>
</context>
<context>
    <name>Drives</name>
    <message>
        <source>(no disc)</source>
        <translation>(keine CD)</translation>
    </message>
</context>
<context>
    <name>IdentityValues</name>
    <message>
        <source>holds an invisible or control character (U+%1)</source>
        <translation>enthält ein unsichtbares oder ein Steuerzeichen (U+%1)</translation>
    </message>
    <message>
        <source>holds a backslash, which would split it into two values</source>
        <translation>enthält einen umgekehrten Schrägstrich (\), der ihn in zwei Werte teilen würde</translation>
    </message>
    <message>
        <source>is longer than 64 characters</source>
        <translation>ist länger als 64 Zeichen</translation>
    </message>
    <message>
        <source>Patient ID</source>
        <translation>Patienten-ID</translation>
    </message>
    <message>
        <source>Issuer of Patient ID</source>
        <translation>Herausgeber der Patienten-ID</translation>
    </message>
    <message>
        <source>Issuer&apos;s universal ID</source>
        <translation>Universelle ID des Herausgebers</translation>
    </message>
    <message>
        <source>Issuer&apos;s universal ID type</source>
        <translation>Typ der universellen ID des Herausgebers</translation>
    </message>
    <message>
        <source>Issuer&apos;s identifier type</source>
        <translation>Kennungstyp des Herausgebers</translation>
    </message>
    <message>
        <source>Patient&apos;s name</source>
        <translation>Patientenname</translation>
    </message>
    <message>
        <source>has more than three parts separated by &quot;=&quot;</source>
        <translation>hat mehr als drei durch &quot;=&quot; getrennte Teile</translation>
    </message>
    <message>
        <source>Birth date</source>
        <translation>Geburtsdatum</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is not a date (year, month and day as 8 digits)</source>
        <translation>&quot;%1&quot; ist kein Datum (Jahr, Monat und Tag als 8 Ziffern)</translation>
    </message>
    <message>
        <source>Sex</source>
        <translation>Geschlecht</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is none of M, F and O</source>
        <translation>&quot;%1&quot; ist weder M, F noch O</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
</context>
<context>
    <name>ImportLaunch</name>
    <message>
        <source>%1 at %2 port %3 does not answer. Nothing was sent. Check that the PACS is running, or ask your administrator.</source>
        <translation>%1 unter %2, Port %3 antwortet nicht. Es wurde nichts gesendet. Prüfen Sie, ob das PACS läuft, oder wenden Sie sich an Ihre Systembetreuung.</translation>
    </message>
    <message>
        <source>%1 at %2 port %3 refused this station. Nothing was sent. Check the AE titles (&quot;Remote AET:&quot; here, &quot;Local AET:&quot; in the options), or ask your administrator.</source>
        <translation>%1 unter %2, Port %3 hat diesen Arbeitsplatz abgewiesen. Es wurde nichts gesendet. Prüfen Sie die AE-Titel (&quot;Ziel-AET:&quot; hier, &quot;AET lokal:&quot; in den Optionen), oder wenden Sie sich an Ihre Systembetreuung.</translation>
    </message>
    <message>
        <source>%1 at %2 port %3 answered but is not ready to take images. Nothing was sent. Ask your administrator to check the PACS.</source>
        <translation>%1 unter %2, Port %3 antwortet, ist aber nicht bereit, Bilder anzunehmen. Es wurde nichts gesendet. Bitten Sie Ihre Systembetreuung, das PACS zu prüfen.</translation>
    </message>
    <message>
        <source>&quot;Remote AET:&quot;</source>
        <translation>&quot;Ziel-AET:&quot;</translation>
    </message>
    <message>
        <source>&quot;Remote IP:&quot;</source>
        <translation>&quot;Ziel-IP:&quot;</translation>
    </message>
    <message>
        <source>&quot;Remote Port:&quot;</source>
        <translation>&quot;Ziel-Port:&quot;</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is an IPv6 address; DICOM connections are made over IPv4 here: enter an IPv4 address or a host name.</source>
        <translation>&quot;%1&quot; ist eine IPv6-Adresse; DICOM-Verbindungen laufen hier über IPv4: Geben Sie eine IPv4-Adresse oder einen Rechnernamen ein.</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is not a valid IPv4 address.</source>
        <translation>&quot;%1&quot; ist keine gültige IPv4-Adresse.</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is not a host name or an IP address; enter the port in the &quot;Remote Port:&quot; box.</source>
        <translation>&quot;%1&quot; ist weder ein Rechnername noch eine IP-Adresse; tragen Sie den Port in das Feld &quot;Ziel-Port:&quot; ein.</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is not a host name or an IP address.</source>
        <translation>&quot;%1&quot; ist weder ein Rechnername noch eine IP-Adresse.</translation>
    </message>
    <message>
        <source>&quot;New Patient ID:&quot; holds only spaces.</source>
        <translation>&quot;Neue Patienten-ID:&quot; enthält nur Leerzeichen.</translation>
    </message>
    <message>
        <source>The new identity cannot be given to the images:
%1</source>
        <translation>Die neuen Patientendaten können den Bildern nicht gegeben werden:
%1</translation>
    </message>
    <message>
        <source>Your selected drive is not ready!</source>
        <translation>Das gewählte Laufwerk ist nicht bereit!</translation>
    </message>
    <message>
        <source>No disc or medium could be read in %1. Insert the disc and wait until the light of the drive stops blinking, then press IMPORT again.</source>
        <translation>In %1 ist keine lesbare CD und kein lesbarer Datenträger. Legen Sie die CD ein, warten Sie, bis die Leuchte des Laufwerks nicht mehr blinkt, und drücken Sie dann erneut IMPORT.</translation>
    </message>
    <message>
        <source>Please enter a valid DICOM Storage Class Provider</source>
        <translation>Bitte geben Sie ein gültiges Ziel-PACS an</translation>
    </message>
    <message>
        <source>&quot;Destination #1:&quot; needs all three boxes; %1 is empty. Enter the PACS&apos;s AE title, address and port, or ask your administrator for them.</source>
        <translation>&quot;Ziel 1:&quot; braucht alle drei Felder; %1 ist leer. Tragen Sie AE-Titel, Adresse und Port des PACS ein, oder fragen Sie Ihre Systembetreuung danach.</translation>
    </message>
    <message>
        <source>No folder is given.</source>
        <translation>Es ist kein Ordner angegeben.</translation>
    </message>
    <message>
        <source>Type the folder under &quot;Specific Folder&quot;, or pick it with the &quot;...&quot; button.</source>
        <translation>Geben Sie den Ordner unter &quot;Bestimmter Ordner&quot; ein, oder wählen Sie ihn mit der Schaltfläche &quot;...&quot;.</translation>
    </message>
    <message>
        <source>The folder %1 does not exist.</source>
        <translation>Den Ordner %1 gibt es nicht.</translation>
    </message>
    <message>
        <source>Check the path under &quot;Specific Folder&quot;, or pick the folder with the &quot;...&quot; button.</source>
        <translation>Prüfen Sie den Pfad unter &quot;Bestimmter Ordner&quot;, oder wählen Sie den Ordner mit der Schaltfläche &quot;...&quot;.</translation>
    </message>
    <message>
        <source>No DICOMDIR was found in %1.</source>
        <translation>In %1 wurde kein DICOMDIR gefunden.</translation>
    </message>
    <message>
        <source>&quot;DICOM Dir&quot; needs the DICOMDIR index file, which this folder does not have. Choose &quot;DICOM Files&quot; to read the images one by one.</source>
        <translation>&quot;DICOM-Verzeichnis&quot; braucht die Inhaltsdatei DICOMDIR, die dieser Ordner nicht hat. Wählen Sie &quot;DICOM-Dateien&quot;, um die Bilder einzeln zu lesen.</translation>
    </message>
    <message>
        <source>#%1: Connection to Storage Class Provider (%2) failed!</source>
        <translation>#%1: Verbindung zum PACS (%2) fehlgeschlagen!</translation>
    </message>
    <message>
        <source>%1: &quot;Remote AET:&quot; &quot;%2&quot; is longer than 16 characters.</source>
        <translation>%1: &quot;Ziel-AET:&quot; &quot;%2&quot; ist länger als 16 Zeichen.</translation>
    </message>
    <message>
        <source>%1: &quot;Remote IP:&quot; %2</source>
        <translation>%1: &quot;Ziel-IP:&quot; %2</translation>
    </message>
    <message>
        <source>%1: &quot;Remote Port:&quot; &quot;%2&quot; is not a port number; a port is a number from 1 to 65535.</source>
        <translation>%1: &quot;Ziel-Port:&quot; &quot;%2&quot; ist keine Portnummer; ein Port ist eine Zahl von 1 bis 65535.</translation>
    </message>
    <message>
        <source>The &quot;Local AET:&quot; &quot;%1&quot; of the options is longer than 16 characters.</source>
        <translation>Der Wert von &quot;AET lokal:&quot; in den Optionen (&quot;%1&quot;) ist länger als 16 Zeichen.</translation>
    </message>
    <message>
        <source>Destination #1</source>
        <translation>Ziel 1</translation>
    </message>
    <message>
        <source>Destination #2</source>
        <translation>Ziel 2</translation>
    </message>
    <message>
        <source>No new Patient ID is given: the images keep the IDs they have on the medium. Import them unchanged?</source>
        <translation>Es ist keine neue Patienten-ID angegeben: Die Bilder behalten die IDs, die sie auf dem Datenträger haben. Unverändert importieren?</translation>
    </message>
    <message>
        <source>No file suffix defined, ALL files will be scanned!</source>
        <translation>Keine Dateiendung angegeben, ALLE Dateien werden durchsucht!</translation>
    </message>
    <message>
        <source>Every file in the folder is read, also files that are no images; on a full disc this takes longer. Import all files?</source>
        <translation>Jede Datei im Ordner wird gelesen, auch Dateien, die keine Bilder sind; bei einer vollen CD dauert das länger. Alle Dateien importieren?</translation>
    </message>
    <message>
        <source>#%1 %2</source>
        <translation>#%1 %2</translation>
    </message>
    <message>
        <source>Connecting to %1 (%2:%3)...</source>
        <translation>Verbindung zu %1 (%2:%3) wird aufgebaut ...</translation>
    </message>
    <message>
        <source>Connecting to %1...</source>
        <translation>Verbindung zu %1 wird aufgebaut ...</translation>
    </message>
    <message>
        <source>The DICOMweb service at %1 refused this station&apos;s user name and password or token. Ask your administrator to check them.</source>
        <translation>Der DICOMweb-Dienst unter %1 hat den Benutzernamen und das Passwort oder das Token dieser Station abgelehnt. Bitten Sie Ihre Administration, sie zu prüfen.</translation>
    </message>
    <message>
        <source>Nothing answers at %1. Check that the archive is running and that this station can reach it.</source>
        <translation>Unter %1 antwortet nichts. Prüfen Sie, ob das Archiv läuft und ob diese Station es erreichen kann.</translation>
    </message>
    <message>
        <source>The secure connection to %1 could not be made. Ask your administrator to check the certificates.</source>
        <translation>Die sichere Verbindung zu %1 kam nicht zustande. Bitten Sie Ihre Administration, die Zertifikate zu prüfen.</translation>
    </message>
    <message>
        <source>The DICOMweb service at %1 did not answer as expected.</source>
        <translation>Der DICOMweb-Dienst unter %1 hat nicht wie erwartet geantwortet.</translation>
    </message>
</context>
<context>
    <name>MessageBox</name>
    <message>
        <source>and %1 more; the error log lists them all</source>
        <translation>und %1 weitere; das Fehlerprotokoll nennt alle</translation>
    </message>
</context>
<context>
    <name>Worklist</name>
    <message>
        <source>the worklist&apos;s AE title</source>
        <translation>den AE-Titel der Arbeitsliste</translation>
    </message>
    <message>
        <source>its address</source>
        <translation>ihre Adresse</translation>
    </message>
    <message>
        <source>its port</source>
        <translation>ihren Port</translation>
    </message>
    <message>
        <source>The worklist is not set up: the settings give no %1. Ask your administrator to fill in the [Worklist] section of the settings file.</source>
        <translation>Die Arbeitsliste ist nicht eingerichtet: Die Einstellungen nennen %1 nicht. Bitten Sie Ihre Systembetreuung, den Abschnitt [Worklist] der Einstellungsdatei auszufüllen.</translation>
    </message>
    <message>
        <source>The worklist %1 at %2 port %3 could not be asked. Check that the worklist server is running, or ask your administrator.</source>
        <translation>Die Arbeitsliste %1 unter %2, Port %3 konnte nicht abgefragt werden. Prüfen Sie, ob der Arbeitslisten-Server läuft, oder wenden Sie sich an Ihre Systembetreuung.</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>Uhrzeit</translation>
    </message>
    <message>
        <source>Last Name</source>
        <translation>Nachname</translation>
    </message>
    <message>
        <source>First Name</source>
        <translation>Vorname</translation>
    </message>
    <message>
        <source>M.I.</source>
        <translation>2. Vorn.</translation>
    </message>
    <message>
        <source>Date of Birth</source>
        <translation>Geburtsdatum</translation>
    </message>
    <message>
        <source>ID</source>
        <translation>ID</translation>
    </message>
    <message>
        <source>Sex</source>
        <translation>Geschlecht</translation>
    </message>
    <message>
        <source>Accession</source>
        <translation>Auftragsnr.</translation>
    </message>
    <message>
        <source>Bodypart</source>
        <translation>Körperteil</translation>
    </message>
    <message>
        <source>Study Description</source>
        <translation>Untersuchung</translation>
    </message>
    <message>
        <source>The worklist is not set up: its port &quot;%1&quot; is not a port number. Ask your administrator to correct the [Worklist] section of the settings file.</source>
        <translation>Die Arbeitsliste ist nicht eingerichtet: Ihr Port &quot;%1&quot; ist keine Portnummer. Bitten Sie Ihre Systembetreuung, den Abschnitt [Worklist] der Einstellungsdatei zu berichtigen.</translation>
    </message>
</context>
<context>
    <name>varnelo</name>
    <message>
        <source>%1 and %2</source>
        <translation>%1 und %2</translation>
    </message>
    <message>
        <source>%1 and %2 more</source>
        <translation>%1 und %2 weitere</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>%1: the address %2 is not known.</source>
        <translation>%1: Die Adresse %2 ist unbekannt.</translation>
    </message>
    <message>
        <source>%1: nothing answers at %2.</source>
        <translation>%1: Unter %2 antwortet nichts.</translation>
    </message>
    <message>
        <source>%1: takes the connection at %2 but does not answer.</source>
        <translation>%1: Nimmt die Verbindung unter %2 an, antwortet aber nicht.</translation>
    </message>
    <message>
        <source>%1: refuses this station (%2).</source>
        <translation>%1: Weist diesen Arbeitsplatz ab (%2).</translation>
    </message>
    <message>
        <source>%1: accepts this station but does not answer the echo.</source>
        <translation>%1: Nimmt diesen Arbeitsplatz an, beantwortet aber den Verbindungstest (Echo) nicht.</translation>
    </message>
    <message>
        <source>%1: &quot;%2&quot; is not a port number.</source>
        <translation>%1: &quot;%2&quot; ist keine Portnummer.</translation>
    </message>
    <message>
        <source>confirms storage</source>
        <translation>bestätigt die Speicherung</translation>
    </message>
    <message>
        <source>does not confirm storage; a query checks what it holds</source>
        <translation>bestätigt die Speicherung nicht; eine Abfrage prüft, was es hat</translation>
    </message>
    <message>
        <source>does not confirm storage</source>
        <translation>bestätigt die Speicherung nicht</translation>
    </message>
    <message>
        <source>%1: answers, but takes none of the images this program sends; %2.</source>
        <translation>%1: Antwortet, nimmt aber keines der Bilder an, die dieses Programm sendet; %2.</translation>
    </message>
    <message>
        <source>%1: answers; %2; %3.</source>
        <translation>%1: Antwortet; %2; %3.</translation>
    </message>
    <message>
        <source>WORKLIST</source>
        <translation>ARBEITSLISTE</translation>
    </message>
    <message>
        <source>AE title</source>
        <translation>AE-Titel</translation>
    </message>
    <message>
        <source>address</source>
        <translation>Adresse</translation>
    </message>
    <message>
        <source>port</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>%1: its %2 is not set.</source>
        <translation>%1: %2 ist nicht eingetragen.</translation>
    </message>
    <message>
        <source>%1: answers; 1 entry today.</source>
        <translation>%1: Antwortet; heute 1 Eintrag.</translation>
    </message>
    <message>
        <source>%1: answers; %2 entries today.</source>
        <translation>%1: Antwortet; heute %2 Einträge.</translation>
    </message>
    <message>
        <source>%1: answers, but offers no worklist.</source>
        <translation>%1: Antwortet, bietet aber keine Arbeitsliste an.</translation>
    </message>
    <message>
        <source>%1: the query failed (%2).</source>
        <translation>%1: Die Abfrage ist fehlgeschlagen (%2).</translation>
    </message>
    <message>
        <source>Port %1 for confirmations</source>
        <translation>Port %1 für Bestätigungen</translation>
    </message>
    <message>
        <source>%1: free.</source>
        <translation>%1: frei.</translation>
    </message>
    <message>
        <source>%1: in use by another program.</source>
        <translation>%1: von einem anderen Programm belegt.</translation>
    </message>
    <message>
        <source>%1: needs administrator rights.</source>
        <translation>%1: braucht Administratorrechte.</translation>
    </message>
    <message>
        <source>%1: cannot be opened (%2).</source>
        <translation>%1: kann nicht geöffnet werden (%2).</translation>
    </message>
    <message>
        <source>takes none of the images this program sends</source>
        <translation>nimmt keines der Bilder an, die dieses Programm sendet</translation>
    </message>
    <message>
        <source>takes %1</source>
        <translation>nimmt %1 an</translation>
    </message>
    <message>
        <source>, not %1</source>
        <translation>, nicht %1</translation>
    </message>
    <message>
        <source>%1: checking...</source>
        <translation>%1: wird geprüft ...</translation>
    </message>
    <message>
        <source>No destination is complete: each needs its AE title, address and port.</source>
        <translation>Kein Ziel ist vollständig: Jedes braucht AE-Titel, Adresse und Port.</translation>
    </message>
    <message>
        <source>Port %1 for confirmations: checking...</source>
        <translation>Port %1 für Bestätigungen: wird geprüft ...</translation>
    </message>
    <message>
        <source>%1: &quot;%2&quot; is not an http or https address.</source>
        <translation>%1: &quot;%2&quot; ist keine http- oder https-Adresse.</translation>
    </message>
    <message>
        <source>%1: answers as a DICOMweb service.</source>
        <translation>%1: Antwortet als DICOMweb-Dienst.</translation>
    </message>
    <message>
        <source>%1: refuses the user name and password or the token.</source>
        <translation>%1: Weist Benutzername und Kennwort oder das Token ab.</translation>
    </message>
    <message>
        <source>%1: no DICOMweb service answers at %2.</source>
        <translation>%1: Unter %2 antwortet kein DICOMweb-Dienst.</translation>
    </message>
</context>
<context>
    <name>varnelo::AboutForm</name>
    <message>
        <source>(none)</source>
        <translation>(keine)</translation>
    </message>
    <message>
        <source>About Varnelo</source>
        <translation>Über Varnelo</translation>
    </message>
    <message>
        <source>&amp;Copy</source>
        <translation>&amp;Kopieren</translation>
    </message>
    <message>
        <source>Copies all of it, for a message to the support.</source>
        <translation>Kopiert alles, etwa für eine Nachricht an den Support.</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Varnelo %1.%2.%3</source>
        <translation>Varnelo %1.%2.%3</translation>
    </message>
    <message>
        <source>Qt %1 (built with %2)</source>
        <translation>Qt %1 (erstellt mit %2)</translation>
    </message>
    <message>
        <source>DCMTK %1</source>
        <translation>DCMTK %1</translation>
    </message>
    <message>
        <source>OpenJPEG %1</source>
        <translation>OpenJPEG %1</translation>
    </message>
    <message>
        <source>Local AET: %1</source>
        <translation>AET lokal: %1</translation>
    </message>
    <message>
        <source>CommitPort: %1</source>
        <translation>CommitPort: %1</translation>
    </message>
    <message>
        <source>none</source>
        <translation>keiner</translation>
    </message>
    <message>
        <source>Settings file: %1</source>
        <translation>Einstellungsdatei: %1</translation>
    </message>
    <message>
        <source>System settings file: %1</source>
        <translation>Systemweite Einstellungsdatei: %1</translation>
    </message>
    <message>
        <source>Set by the administrator: %1</source>
        <translation>Von der Systembetreuung festgelegt: %1</translation>
    </message>
    <message>
        <source>Logs: %1</source>
        <translation>Protokolle: %1</translation>
    </message>
</context>
<context>
    <name>varnelo::ConnectionTest</name>
    <message>
        <source>%1: no answer within %2 seconds.</source>
        <translation>%1: Keine Antwort innerhalb von %2 Sekunden.</translation>
    </message>
</context>
<context>
    <name>varnelo::ConnectionTestForm</name>
    <message>
        <source>Test connections</source>
        <translation>Verbindungen testen</translation>
    </message>
    <message>
        <source>Results of the connection test</source>
        <translation>Ergebnisse des Verbindungstests</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
</context>
<context>
    <name>varnelo::Delivery</name>
    <message>
        <source>%1 refused the image (status 0x%2).</source>
        <translation>%1 hat das Bild abgelehnt (Status 0x%2).</translation>
    </message>
    <message>
        <source>Error #%1: Failed to transfer image to %2</source>
        <translation>Fehler #%1: Das Bild konnte nicht an %2 übertragen werden</translation>
    </message>
    <message>
        <source>Reason: %1</source>
        <translation>Grund: %1</translation>
    </message>
    <message>
        <source>Image: %1</source>
        <translation>Bild: %1</translation>
    </message>
</context>
<context>
    <name>varnelo::Files</name>
    <message>
        <source>it is a symbolic link, and only a file of its own is used</source>
        <translation>es ist ein symbolischer Link, und nur eine eigene Datei wird verwendet</translation>
    </message>
    <message>
        <source>it is not a regular file</source>
        <translation>es ist keine normale Datei</translation>
    </message>
    <message>
        <source>it belongs to another user</source>
        <translation>es gehört einem anderen Benutzer</translation>
    </message>
    <message>
        <source>it is larger than %1 bytes</source>
        <translation>es ist größer als %1 Byte</translation>
    </message>
</context>
<context>
    <name>varnelo::ImportRun</name>
    <message>
        <source>The import was aborted.</source>
        <translation>Der Import wurde abgebrochen.</translation>
    </message>
    <message>
        <source>%1 images could not be sent; the error log names them.</source>
        <translation>%1 Bilder konnten nicht gesendet werden; das Fehlerprotokoll nennt sie.</translation>
    </message>
    <message>
        <source>%1 images were not sent: their patient was not chosen.</source>
        <translation>%1 Bilder wurden nicht gesendet: Ihr Patient war nicht ausgewählt.</translation>
    </message>
    <message>
        <source>%1 images were not sent: they cannot take the new identity.</source>
        <translation>%1 Bilder wurden nicht gesendet: Sie können die neuen Patientendaten nicht aufnehmen.</translation>
    </message>
    <message>
        <source>and %1 more</source>
        <translation>und %1 weitere</translation>
    </message>
    <message>
        <source>%1 could not confirm: it answers on an association of its own, and [DICOM] CommitPort is not set.</source>
        <translation>%1 konnte den Empfang nicht bestätigen: Es antwortet über eine eigene Verbindung, und [DICOM] CommitPort ist nicht eingestellt.</translation>
    </message>
    <message>
        <source>The new identity cannot be given to the images:
%1
Nothing was imported.</source>
        <translation>Die neuen Patientendaten können den Bildern nicht gegeben werden:
%1
Es wurde nichts importiert.</translation>
    </message>
    <message>
        <source>Reading the medium...</source>
        <translation>Der Datenträger wird gelesen ...</translation>
    </message>
    <message>
        <source>Image %1 of %2</source>
        <translation>Bild %1 von %2</translation>
    </message>
    <message>
        <source>Image %1, folder %2</source>
        <translation>Bild %1, Ordner %2</translation>
    </message>
    <message>
        <source>less than a minute left</source>
        <translation>noch weniger als eine Minute</translation>
    </message>
    <message>
        <source>about %1 min left</source>
        <translation>noch etwa %1 Min.</translation>
    </message>
    <message>
        <source>%1 has the SOP Instance UID of %2, with other content; the PACS would keep only one of them</source>
        <translation>%1 hat dieselbe Bild-UID (SOP Instance UID) wie %2, aber anderen Inhalt; das PACS würde nur eines der beiden behalten</translation>
    </message>
    <message>
        <source>%1 images were not sent: their study was not chosen.</source>
        <translation>%1 Bilder wurden nicht gesendet: Ihre Untersuchung war nicht ausgewählt.</translation>
    </message>
    <message>
        <source>%1 images were already at %2 and were not sent again.</source>
        <translation>%1 Bilder waren schon in %2 und wurden nicht noch einmal gesendet.</translation>
    </message>
    <message>
        <source>Asking the PACS what it already holds...</source>
        <translation>Das PACS wird gefragt, was es schon hat ...</translation>
    </message>
    <message>
        <source>%1 images successfully imported!</source>
        <translation>%1 Bilder erfolgreich importiert!</translation>
    </message>
    <message>
        <source>Nothing was imported.</source>
        <translation>Es wurde nichts importiert.</translation>
    </message>
    <message>
        <source>These files in %1 are encrypted and are not imported:
%2</source>
        <translation>Diese Dateien in %1 sind verschlüsselt und werden nicht importiert:
%2</translation>
    </message>
    <message>
        <source>Waiting for %1 to confirm %2 images ...</source>
        <translation>Warten, bis %1 %2 Bilder bestätigt ...</translation>
    </message>
    <message>
        <source>%1 confirmed all %2 images.</source>
        <translation>%1 hat alle %2 Bilder bestätigt.</translation>
    </message>
    <message>
        <source>%1 confirmed %2 of %3 images; the error log names the others.</source>
        <translation>%1 hat %2 von %3 Bildern bestätigt; das Fehlerprotokoll nennt die übrigen.</translation>
    </message>
    <message>
        <source>%1 could not be asked to confirm.</source>
        <translation>%1 konnte nicht um Bestätigung gebeten werden.</translation>
    </message>
    <message>
        <source>%1 did not answer before the wait was aborted.</source>
        <translation>%1 hat nicht geantwortet, bevor das Warten abgebrochen wurde.</translation>
    </message>
    <message>
        <source>%1 did not answer within %2 s.</source>
        <translation>%1 hat nicht innerhalb von %2 s geantwortet.</translation>
    </message>
    <message>
        <source>Searching for DICOM Files, please wait ...</source>
        <translation>DICOM-Dateien werden gesucht, bitte warten ...</translation>
    </message>
    <message>
        <source>Searching for DICOMDir, please wait ...</source>
        <translation>DICOMDIR wird gesucht, bitte warten ...</translation>
    </message>
    <message>
        <source>No DICOMDIR was found in %1. Nothing was imported.</source>
        <translation>In %1 wurde kein DICOMDIR gefunden. Es wurde nichts importiert.</translation>
    </message>
    <message>
        <source>DICOMDir found ... importing images</source>
        <translation>DICOMDIR gefunden ... Bilder werden importiert</translation>
    </message>
    <message>
        <source>%1 could not be searched for a DICOMDIR: %2. Nothing was imported.</source>
        <translation>%1 konnte nicht nach einem DICOMDIR durchsucht werden: %2. Es wurde nichts importiert.</translation>
    </message>
    <message>
        <source>%1 could not be searched for a DICOMDIR. Nothing was imported.</source>
        <translation>%1 konnte nicht nach einem DICOMDIR durchsucht werden. Es wurde nichts importiert.</translation>
    </message>
    <message>
        <source>The DICOMDIR %1 lists no images. Nothing was imported.</source>
        <translation>Das DICOMDIR %1 verzeichnet keine Bilder. Es wurde nichts importiert.</translation>
    </message>
    <message>
        <source>The DICOMDIR %1 could not be read: %2. Nothing was imported.</source>
        <translation>Das DICOMDIR %1 konnte nicht gelesen werden: %2. Es wurde nichts importiert.</translation>
    </message>
    <message>
        <source>Error #%1: Failed to transfer image to %2</source>
        <translation>Fehler #%1: Das Bild konnte nicht an %2 übertragen werden</translation>
    </message>
    <message>
        <source>Reason: %1</source>
        <translation>Grund: %1</translation>
    </message>
</context>
<context>
    <name>varnelo::IniFile</name>
    <message>
        <source>The settings file %1 is not used: %2. The program goes on with its defaults, and what is changed is not saved.</source>
        <translation>Die Einstellungsdatei %1 wird nicht verwendet: %2. Das Programm arbeitet mit seinen Grundeinstellungen weiter, und Änderungen werden nicht gespeichert.</translation>
    </message>
</context>
<context>
    <name>varnelo::MainForm</name>
    <message>
        <source>What is the source?</source>
        <translation>Was ist die Quelle?</translation>
    </message>
    <message>
        <source>CD or Hard Drive</source>
        <translation>CD oder Festplatte</translation>
    </message>
    <message>
        <source>Specific Folder</source>
        <translation>Bestimmter Ordner</translation>
    </message>
    <message>
        <source>Look in:</source>
        <translation>Suchen in:</translation>
    </message>
    <message>
        <source>Include sub directories</source>
        <translation>Unterordner einbeziehen</translation>
    </message>
    <message>
        <source>Search by</source>
        <translation>Suchen nach</translation>
    </message>
    <message>
        <source>DICOM Dir</source>
        <translation>DICOM-Verzeichnis</translation>
    </message>
    <message>
        <source>DICOM Files</source>
        <translation>DICOM-Dateien</translation>
    </message>
    <message>
        <source>File suffix (optional):</source>
        <translation>Dateiendung (optional):</translation>
    </message>
    <message>
        <source>i.E. DCM</source>
        <translation>z. B. DCM</translation>
    </message>
    <message>
        <source>New Patient ID:</source>
        <translation>Neue Patienten-ID:</translation>
    </message>
    <message>
        <source>Double-click a patient in the Worklist (or press Enter on it) to take its Patient ID, name, birth date and sex.</source>
        <translation>Doppelklicken Sie in der Arbeitsliste auf einen Patienten (oder drücken Sie dort die Eingabetaste), um seine Patienten-ID, seinen Namen, sein Geburtsdatum und sein Geschlecht zu übernehmen.</translation>
    </message>
    <message>
        <source>IMPORT</source>
        <translation>IMPORT</translation>
    </message>
    <message>
        <source>DICOM Communication</source>
        <translation>DICOM-Verbindung</translation>
    </message>
    <message>
        <source>Remote AET:</source>
        <translation>Ziel-AET:</translation>
    </message>
    <message>
        <source>Remote IP:</source>
        <translation>Ziel-IP:</translation>
    </message>
    <message>
        <source>Remote Port:</source>
        <translation>Ziel-Port:</translation>
    </message>
    <message>
        <source>Destination #1:</source>
        <translation>Ziel 1:</translation>
    </message>
    <message>
        <source>Destination #2:</source>
        <translation>Ziel 2:</translation>
    </message>
    <message>
        <source>Worklist</source>
        <translation>Arbeitsliste</translation>
    </message>
    <message>
        <source>Source drive</source>
        <translation>Quelllaufwerk</translation>
    </message>
    <message>
        <source>Source folder</source>
        <translation>Quellordner</translation>
    </message>
    <message>
        <source>Choose the source folder</source>
        <translation>Quellordner auswählen</translation>
    </message>
    <message>
        <source>File suffix</source>
        <translation>Dateiendung</translation>
    </message>
    <message>
        <source>New Patient ID</source>
        <translation>Neue Patienten-ID</translation>
    </message>
    <message>
        <source>Destination %1 AE title</source>
        <translation>AE-Titel von Ziel %1</translation>
    </message>
    <message>
        <source>Destination %1 host</source>
        <translation>Adresse von Ziel %1</translation>
    </message>
    <message>
        <source>Destination %1 port</source>
        <translation>Port von Ziel %1</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Datei</translation>
    </message>
    <message>
        <source>&amp;Import</source>
        <translation>&amp;Importieren</translation>
    </message>
    <message>
        <source>E&amp;xit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>&amp;View</source>
        <translation>&amp;Ansicht</translation>
    </message>
    <message>
        <source>&amp;Options...</source>
        <translation>&amp;Optionen ...</translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message>
        <source>&amp;About Varnelo...</source>
        <translation>Ü&amp;ber Varnelo ...</translation>
    </message>
    <message>
        <source>(no name)</source>
        <translation>(kein Name)</translation>
    </message>
    <message>
        <source>born %1</source>
        <translation>geb. %1</translation>
    </message>
    <message>
        <source>The images get this patient&apos;s ID, name, birth date and sex (from the worklist)</source>
        <translation>Die Bilder erhalten ID, Namen, Geburtsdatum und Geschlecht dieses Patienten (aus der Arbeitsliste)</translation>
    </message>
    <message>
        <source>The disc stays in the drive: not everything was proved.</source>
        <translation>Die CD bleibt im Laufwerk: Nicht alles wurde bestätigt.</translation>
    </message>
    <message>
        <source>Insert the next disc.</source>
        <translation>Legen Sie die nächste CD ein.</translation>
    </message>
    <message>
        <source>Select specific folder:</source>
        <translation>Bestimmten Ordner auswählen:</translation>
    </message>
    <message>
        <source>Set by your administrator.</source>
        <translation>Von Ihrer Systembetreuung festgelegt.</translation>
    </message>
    <message>
        <source>Drives</source>
        <translation>Laufwerke</translation>
    </message>
</context>
<context>
    <name>varnelo::MsgBoxForm</name>
    <message>
        <source>Message</source>
        <translation>Meldung</translation>
    </message>
    <message>
        <source>Abort stops the import. Retry sends this image again. Ignore skips this image and goes on with the next.</source>
        <translation>Abbrechen beendet den Import. Wiederholen sendet dieses Bild noch einmal. Ignorieren überspringt dieses Bild und macht mit dem nächsten weiter.</translation>
    </message>
    <message>
        <source>Abort</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>Wiederholen</translation>
    </message>
    <message>
        <source>Ignore</source>
        <translation>Ignorieren</translation>
    </message>
    <message>
        <source>Always ignore further messages</source>
        <translation>Weitere Meldungen immer ignorieren</translation>
    </message>
</context>
<context>
    <name>varnelo::OptionForm</name>
    <message>
        <source>Options</source>
        <translation>Optionen</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Local AET:</source>
        <translation>AET lokal:</translation>
    </message>
    <message>
        <source>Local AE title</source>
        <translation>Eigener AE-Titel</translation>
    </message>
    <message>
        <source>Write Log</source>
        <translation>Protokoll schreiben</translation>
    </message>
    <message>
        <source>Validate StudyUID / SeriesUID</source>
        <translation>Studien-/Serien-UID prüfen</translation>
    </message>
    <message>
        <source>Image Directory is equivalent to Study</source>
        <translation>Bildordner entspricht einer Untersuchung</translation>
    </message>
    <message>
        <source>Change Patient ID</source>
        <translation>Patienten-ID ändern</translation>
    </message>
    <message>
        <source>Given to a typed Patient ID as its Issuer of Patient ID; empty: none.</source>
        <translation>Wird einer eingetippten Patienten-ID als Herausgeber der Patienten-ID mitgegeben; leer: keiner.</translation>
    </message>
    <message>
        <source>Issuer of typed IDs:</source>
        <translation>Herausgeber:</translation>
    </message>
    <message>
        <source>Import each disc as it is inserted</source>
        <translation>Jede eingelegte CD gleich importieren</translation>
    </message>
    <message>
        <source>With &quot;CD or Hard Drive&quot; as the source, a medium arriving in the selected drive starts the import as IMPORT does.</source>
        <translation>Mit &quot;CD oder Festplatte&quot; als Quelle startet ein Datenträger, der im gewählten Laufwerk eingelegt wird, den Import wie die Schaltfläche IMPORT.</translation>
    </message>
    <message>
        <source>Eject the disc when everything was sent</source>
        <translation>CD auswerfen, wenn alles gesendet ist</translation>
    </message>
    <message>
        <source>After the summary: only when every image found was sent and every destination confirmed what it was asked about.</source>
        <translation>Nach der Zusammenfassung: nur wenn jedes gefundene Bild gesendet wurde und jedes Ziel alles Erfragte bestätigt hat.</translation>
    </message>
    <message>
        <source>As the desktop</source>
        <translation>Wie der Desktop</translation>
    </message>
    <message>
        <source>The language of the windows and messages. It takes effect at the next start of Varnelo.</source>
        <translation>Die Sprache der Fenster und Meldungen. Sie gilt ab dem nächsten Start von Varnelo.</translation>
    </message>
    <message>
        <source>Language:</source>
        <translation>Sprache:</translation>
    </message>
    <message>
        <source>Worklist</source>
        <translation>Worklist</translation>
    </message>
    <message>
        <source>AET:</source>
        <translation>AET:</translation>
    </message>
    <message>
        <source>IP:</source>
        <translation>IP:</translation>
    </message>
    <message>
        <source>Port:</source>
        <translation>Port:</translation>
    </message>
    <message>
        <source>Modality:</source>
        <translation>Modalität:</translation>
    </message>
    <message>
        <source>Worklist host</source>
        <translation>Adresse der Arbeitsliste</translation>
    </message>
    <message>
        <source>Worklist AE title</source>
        <translation>AE-Titel der Arbeitsliste</translation>
    </message>
    <message>
        <source>Worklist port</source>
        <translation>Port der Arbeitsliste</translation>
    </message>
    <message>
        <source>Worklist modality</source>
        <translation>Modalität der Arbeitsliste</translation>
    </message>
    <message>
        <source>Test connections...</source>
        <translation>Verbindungen testen ...</translation>
    </message>
    <message>
        <source>Asks each destination, the worklist and the port for confirmations, with the values entered here, without sending an image.</source>
        <translation>Fragt jedes Ziel, die Arbeitsliste und den Port für Bestätigungen mit den hier eingetragenen Werten ab, ohne ein Bild zu senden.</translation>
    </message>
    <message>
        <source>Set by your administrator.</source>
        <translation>Von Ihrer Systembetreuung festgelegt.</translation>
    </message>
    <message>
        <source>Languages</source>
        <translation>Sprachen</translation>
    </message>
    <message>
        <source>&amp;Associations:</source>
        <translation>&amp;Assoziationen:</translation>
    </message>
    <message>
        <source>A&amp;ssociations:</source>
        <translation>A&amp;ssoziationen:</translation>
    </message>
    <message>
        <source>DICOMweb &amp;URL:</source>
        <translation>DICOMweb-&amp;URL:</translation>
    </message>
    <message>
        <source>DICOMweb U&amp;RL:</source>
        <translation>DICOMweb-U&amp;RL:</translation>
    </message>
    <message>
        <source>The most associations an import opens to this destination at once, each image going to the next free one. 1 sends one image after the other on one association, for an archive that wants a whole series on one association.</source>
        <translation>Wie viele Assoziationen ein Import höchstens zugleich zu diesem Ziel öffnet; jedes Bild geht über die nächste freie. 1 sendet ein Bild nach dem anderen über eine Assoziation, für ein Archiv, das eine ganze Serie auf einer Assoziation erwartet.</translation>
    </message>
    <message>
        <source>When set, this destination is the DICOMweb service at this base URL (for example http://pacs:8042/dicom-web): images go there by STOW-RS, and its AE title, IP and port in the main window are not used. Empty: a DICOM peer.</source>
        <translation>Wenn gesetzt, ist dieses Ziel der DICOMweb-Dienst unter dieser Basis-URL (zum Beispiel http://pacs:8042/dicom-web): Die Bilder gehen per STOW-RS dorthin, AE-Titel, IP und Port dieses Ziels im Hauptfenster werden nicht verwendet. Leer: ein DICOM-Partner.</translation>
    </message>
    <message>
        <source>Destination #1</source>
        <translation>Ziel 1</translation>
    </message>
    <message>
        <source>Destination #2</source>
        <translation>Ziel 2</translation>
    </message>
    <message>
        <source>Destination %1 associations</source>
        <translation>Assoziationen zu Ziel %1</translation>
    </message>
    <message>
        <source>none: sent by DICOM</source>
        <translation>keine: Senden per DICOM</translation>
    </message>
    <message>
        <source>Destination %1 DICOMweb URL</source>
        <translation>DICOMweb-URL von Ziel %1</translation>
    </message>
</context>
<context>
    <name>varnelo::PatientsForm</name>
    <message>
        <source>Issuer of ID</source>
        <translation>Herausgeber der ID</translation>
    </message>
    <message>
        <source>(unknown)</source>
        <translation>(unbekannt)</translation>
    </message>
    <message>
        <source>The images keep the patient&apos;s values they have on the medium.</source>
        <translation>Die Bilder behalten die Patientendaten, die sie auf dem Datenträger haben.</translation>
    </message>
    <message>
        <source>The images will get the Patient ID &quot;%1&quot;; name, birth date and sex stay as on the medium.</source>
        <translation>Die Bilder erhalten die Patienten-ID &quot;%1&quot;; Name, Geburtsdatum und Geschlecht bleiben wie auf dem Datenträger.</translation>
    </message>
    <message>
        <source>(no name)</source>
        <translation>(kein Name)</translation>
    </message>
    <message>
        <source>ID %1</source>
        <translation>ID %1</translation>
    </message>
    <message>
        <source>ID %1 (%2)</source>
        <translation>ID %1 (%2)</translation>
    </message>
    <message>
        <source>ID %1 of %2</source>
        <translation>ID %1 von %2</translation>
    </message>
    <message>
        <source>born unknown</source>
        <translation>Geburtsdatum unbekannt</translation>
    </message>
    <message>
        <source>born %1</source>
        <translation>geb. %1</translation>
    </message>
    <message>
        <source>sex unknown</source>
        <translation>Geschlecht unbekannt</translation>
    </message>
    <message>
        <source>sex %1</source>
        <translation>Geschlecht %1</translation>
    </message>
    <message>
        <source>The images will get the identity picked in the worklist: %1, %2, %3, %4.</source>
        <translation>Die Bilder erhalten die in der Arbeitsliste gewählten Patientendaten: %1, %2, %3, %4.</translation>
    </message>
    <message>
        <source>could not be asked</source>
        <translation>nicht abfragbar</translation>
    </message>
    <message>
        <source>new</source>
        <translation>neu</translation>
    </message>
    <message>
        <source>held</source>
        <translation>vorhanden</translation>
    </message>
    <message>
        <source>%1 of %2 held</source>
        <translation>%1 von %2 vorhanden</translation>
    </message>
    <message>
        <source>held under another patient (%1)</source>
        <translation>bei einem anderen Patienten vorhanden (%1)</translation>
    </message>
    <message>
        <source>held under %1 (%2)</source>
        <translation>vorhanden bei %1 (%2)</translation>
    </message>
    <message>
        <source>This medium holds images of %1 patients. Tick the patients whose images are to be imported under the new identity; the others are not sent.</source>
        <translation>Dieser Datenträger enthält Bilder von %1 Patienten. Haken Sie die Patienten an, deren Bilder unter den neuen Patientendaten importiert werden sollen; die anderen werden nicht gesendet.</translation>
    </message>
    <message>
        <source>The patient on this medium differs from the patient picked in the worklist. Tick the patient to import the images under the picked identity.</source>
        <translation>Der Patient auf diesem Datenträger weicht vom Patienten ab, der in der Arbeitsliste gewählt wurde. Haken Sie den Patienten an, um die Bilder unter den gewählten Patientendaten zu importieren.</translation>
    </message>
    <message>
        <source>Tick the patients and studies to import; the others are not sent.</source>
        <translation>Haken Sie die Patienten und Untersuchungen an, die importiert werden sollen; die anderen werden nicht gesendet.</translation>
    </message>
    <message>
        <source>Studies marked &quot;held&quot; are already at the PACS: their images are not sent again unless you tick &quot;Send again&quot;; of a study partly held, only the images it lacks are sent.</source>
        <translation>Mit &quot;vorhanden&quot; markierte Untersuchungen sind schon im PACS: Ihre Bilder werden nur dann noch einmal gesendet, wenn Sie &quot;Erneut senden&quot; anhaken; von einer teilweise vorhandenen Untersuchung werden nur die fehlenden Bilder gesendet.</translation>
    </message>
    <message>
        <source>A study marked with a warning is held at the PACS under another patient: it is left out unless you tick it.</source>
        <translation>Eine mit einer Warnung markierte Untersuchung ist im PACS bei einem anderen Patienten abgelegt: Sie wird ausgelassen, wenn Sie sie nicht anhaken.</translation>
    </message>
    <message>
        <source>%1 could not be asked what it holds: it gets every image of the ticked studies.</source>
        <translation>%1 konnte nicht gefragt werden, was es schon hat: Es erhält jedes Bild der angehakten Untersuchungen.</translation>
    </message>
    <message>
        <source>What is on this medium</source>
        <translation>Was auf diesem Datenträger ist</translation>
    </message>
    <message>
        <source>Patient&apos;s Name</source>
        <translation>Patientenname</translation>
    </message>
    <message>
        <source>Patient ID</source>
        <translation>Patienten-ID</translation>
    </message>
    <message>
        <source>Birth Date</source>
        <translation>Geburtsdatum</translation>
    </message>
    <message>
        <source>Sex</source>
        <translation>Geschlecht</translation>
    </message>
    <message>
        <source>Studies</source>
        <translation>Untersuchungen</translation>
    </message>
    <message>
        <source>Images</source>
        <translation>Bilder</translation>
    </message>
    <message>
        <source>Already held</source>
        <translation>Schon vorhanden</translation>
    </message>
    <message>
        <source>What %1 already holds of each study</source>
        <translation>Was %1 von jeder Untersuchung schon hat</translation>
    </message>
    <message>
        <source>Import</source>
        <translation>Importieren</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Replaced by the picked patient&apos;s value</source>
        <translation>Wird durch den Wert des gewählten Patienten ersetzt</translation>
    </message>
    <message>
        <source>Not the same for all patients on the medium</source>
        <translation>Nicht bei allen Patienten auf dem Datenträger gleich</translation>
    </message>
    <message>
        <source>(no date)</source>
        <translation>(kein Datum)</translation>
    </message>
    <message>
        <source>(no description)</source>
        <translation>(keine Beschreibung)</translation>
    </message>
    <message>
        <source>%1, %2</source>
        <comment>a study: date, description</comment>
        <translation>%1, %2</translation>
    </message>
    <message>
        <source>%1, %2 (%3)</source>
        <comment>a study: date, description, modalities</comment>
        <translation>%1, %2 (%3)</translation>
    </message>
    <message>
        <source>This study has no Study Instance UID: it goes with its patient.</source>
        <translation>Diese Untersuchung hat keine Study Instance UID: Sie wird zusammen mit ihrem Patienten gesendet.</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>Send again</source>
        <translation>Erneut senden</translation>
    </message>
    <message>
        <source>Sends this study&apos;s images also where they are held already</source>
        <translation>Sendet die Bilder dieser Untersuchung auch dorthin, wo sie schon vorhanden sind</translation>
    </message>
    <message>
        <source>%1 holds this study under another patient. It is left out unless you tick it.</source>
        <translation>%1 hat diese Untersuchung bei einem anderen Patienten abgelegt. Sie wird ausgelassen, wenn Sie sie nicht anhaken.</translation>
    </message>
    <message>
        <source>Series</source>
        <translation>Serie</translation>
    </message>
    <message>
        <source>Series %1</source>
        <translation>Serie %1</translation>
    </message>
    <message>
        <source>%1 (%2)</source>
        <comment>a series: number, modality</comment>
        <translation>%1 (%2)</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <comment>a series: number, description</comment>
        <translation>%1: %2</translation>
    </message>
</context>
<context>
    <name>varnelo::ProgramFolder</name>
    <message>
        <source>no home folder is set (HOME)</source>
        <translation>es ist kein persönlicher Ordner eingestellt (HOME)</translation>
    </message>
    <message>
        <source>the folder %1 cannot be made (%2)</source>
        <translation>der Ordner %1 kann nicht angelegt werden (%2)</translation>
    </message>
    <message>
        <source>%1 is not a folder</source>
        <translation>%1 ist kein Ordner</translation>
    </message>
    <message>
        <source>the folder %1 cannot be written (%2)</source>
        <translation>in den Ordner %1 kann nicht geschrieben werden (%2)</translation>
    </message>
    <message>
        <source>Settings and logs cannot be kept: %1</source>
        <translation>Einstellungen und Protokolle können nicht gespeichert werden: %1</translation>
    </message>
</context>
<context>
    <name>varnelo::ProgressForm</name>
    <message>
        <source>Import progress</source>
        <translation>Importfortschritt</translation>
    </message>
    <message>
        <source>Progress of this folder</source>
        <translation>Fortschritt dieses Ordners</translation>
    </message>
    <message>
        <source>Progress of the whole import</source>
        <translation>Fortschritt des gesamten Imports</translation>
    </message>
    <message>
        <source>Import status</source>
        <translation>Importstatus</translation>
    </message>
    <message>
        <source>Abort</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Searching for DICOMDir, please wait ...</source>
        <translation>DICOMDIR wird gesucht, bitte warten ...</translation>
    </message>
    <message>
        <source>Searching for DICOM Files, please wait ...</source>
        <translation>DICOM-Dateien werden gesucht, bitte warten ...</translation>
    </message>
    <message>
        <source>Finished.</source>
        <translation>Fertig.</translation>
    </message>
</context>
<context>
    <name>varnelo::RemovableMedia</name>
    <message>
        <source>%1 is busy: another program is using it, so it was not opened.</source>
        <translation>%1 ist belegt: Ein anderes Programm verwendet ihn, deshalb wurde er nicht geöffnet.</translation>
    </message>
    <message>
        <source>%1 is busy: a program still has files open on it. Close that program, then eject the medium by hand.</source>
        <translation>%1 ist belegt: Ein Programm hat noch Dateien darauf geöffnet. Schließen Sie dieses Programm und werfen Sie den Datenträger dann von Hand aus.</translation>
    </message>
    <message>
        <source>%1 was not opened: this user may not mount media here. Log in at the machine itself, or ask the administrator to allow it (Varnelo&apos;s README, &quot;Drives&quot;).</source>
        <translation>%1 wurde nicht geöffnet: Dieser Benutzer darf hier keine Datenträger einbinden. Melden Sie sich direkt am Rechner an, oder bitten Sie die Systembetreuung, es zu erlauben (README von Varnelo, &quot;Drives&quot;).</translation>
    </message>
    <message>
        <source>%1 was not ejected: this user may not eject media here. Log in at the machine itself, or ask the administrator to allow it (Varnelo&apos;s README, &quot;Drives&quot;).</source>
        <translation>%1 wurde nicht ausgeworfen: Dieser Benutzer darf hier keine Datenträger auswerfen. Melden Sie sich direkt am Rechner an, oder bitten Sie die Systembetreuung, es zu erlauben (README von Varnelo, &quot;Drives&quot;).</translation>
    </message>
    <message>
        <source>%1 could not be opened: %2</source>
        <translation>%1 konnte nicht geöffnet werden: %2</translation>
    </message>
    <message>
        <source>%1 could not be ejected: %2</source>
        <translation>%1 konnte nicht ausgeworfen werden: %2</translation>
    </message>
    <message>
        <source>The medium in %1</source>
        <translation>Der Datenträger in %1</translation>
    </message>
    <message>
        <source>The medium &quot;%1&quot; (%2)</source>
        <translation>Der Datenträger &quot;%1&quot; (%2)</translation>
    </message>
    <message>
        <source>The system&apos;s own volume (%1) is never ejected.</source>
        <translation>Das Systemlaufwerk (%1) wird nie ausgeworfen.</translation>
    </message>
    <message>
        <source>%1 is not a removable medium: it stays mounted.</source>
        <translation>%1 ist kein Wechseldatenträger: Er bleibt eingebunden.</translation>
    </message>
    <message>
        <source>%1 could not be unmounted: %2</source>
        <translation>%1 konnte nicht ausgehängt werden: %2</translation>
    </message>
</context>
<context>
    <name>varnelo::frmWorklist</name>
    <message>
        <source>Worklist</source>
        <translation>Arbeitsliste</translation>
    </message>
    <message>
        <source>Patient ID</source>
        <translation>Patienten-ID</translation>
    </message>
    <message>
        <source>holds an invisible or control character</source>
        <translation>enthält ein unsichtbares oder ein Steuerzeichen</translation>
    </message>
    <message>
        <source>This worklist entry cannot be given to the images:
%1

Correct it at the worklist, or type the ID instead.</source>
        <translation>Dieser Eintrag der Arbeitsliste kann den Bildern nicht gegeben werden:
%1

Korrigieren Sie ihn in der Arbeitsliste, oder tippen Sie die ID stattdessen ein.</translation>
    </message>
    <message>
        <source>&amp;Filter:</source>
        <translation>&amp;Filter:</translation>
    </message>
    <message>
        <source>Filter</source>
        <translation>Filter</translation>
    </message>
    <message>
        <source>Shows the entries whose name or Patient ID holds this text. Typing in the list types here.</source>
        <translation>Zeigt die Einträge, deren Name oder Patienten-ID diesen Text enthält. Was in der Liste getippt wird, landet hier.</translation>
    </message>
</context>
</TS>
