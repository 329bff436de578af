#include "gui/OptionForm.h"

#include "gui/ConnectionTestForm.h"
#include "gui/WindowLook.h"

#include "base/AppState.h"
#include "base/IniFile.h"
#include "base/Settings.h"
#include "gui/MainForm.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

namespace varnelo {

namespace {

// The two rows of the disc-after-disc switches, below "Change Patient ID".
constexpr int kDiscRows = 900;
// The row of the language, below them.
constexpr int kLanguageRow = 465;
// The row of "Test connections", at the bottom.
constexpr int kTestRow = 600;
// The two destinations' frames, below the language.
constexpr int kDestinationTop = 4530;
constexpr int kDestinationHeight = 1245;
constexpr int kDestinationRows = 2 * (kDestinationHeight + 120);

// The dialog is laid out in twips, 15 to a pixel.
QRect twips(int left, int top, int width, int height)
{
    return {left / 15, top / 15, width / 15, height / 15};
}

void setCheckValue(QCheckBox* box, std::int16_t value)
{
    // 2 is the grey state a hand-edited file may hold; it stays as it is
    // until the operator clicks the box.
    box->setTristate(value == 2);
    box->setCheckState(value == 1 ? Qt::Checked : value == 2 ? Qt::PartiallyChecked
                                                             : Qt::Unchecked);
}

std::int16_t checkValue(const QCheckBox* box)
{
    switch (box->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    case Qt::Unchecked:
        break;
    }
    return 0;
}

}  // namespace

OptionForm::OptionForm(MainForm* owner)
    : QDialog(owner)
    , owner_(owner)
{
    setObjectName(QStringLiteral("OptionForm"));
    setWindowTitle(tr("Options"));
    // Fixed dialog: a close box, no minimise, maximise or help box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setModal(true);
    applyWindowLook(this, 9.75);
    setFixedSize(5010 / 15, (4170 + kDiscRows + kLanguageRow + kDestinationRows + kTestRow) / 15);

    createControls();
    Form_Load();
}

void OptionForm::createControls()
{
    auto check = [this](const char* name, const QString& text, const QRect& geo) {
        auto* c = new QCheckBox(text, this);
        c->setObjectName(QLatin1String(name));
        c->setGeometry(geo);
        // A grey box becomes a plain tick once clicked.
        connect(c, &QCheckBox::clicked, c, [c] { c->setTristate(false); });
        return c;
    };
    auto button = [this](const char* name, const QString& text, const QRect& geo) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(geo);
        // Neither button is the default: Enter belongs to the focused control.
        b->setAutoDefault(false);
        b->setDefault(false);
        return b;
    };

    constexpr int above = kDiscRows + kLanguageRow + kDestinationRows;
    cmdOK = button("cmdOK", tr("OK"), twips(2010, 3510 + above, 1335, 495));
    cmdCancel = button("cmdCancel", tr("Cancel"), twips(3450, 3510 + above, 1335, 495));
    connect(cmdOK, &QPushButton::clicked, this, &OptionForm::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &OptionForm::cmdCancel_Click);

    txtLocalAET = new FilteredLineEdit(this);
    txtLocalAET->setObjectName(QStringLiteral("txtLocalAET"));
    txtLocalAET->setGeometry(twips(1200, 240, 3495, 375));
    txtLocalAET->setMaxChars(16);

    Label2 = new QLabel(tr("Local AET:"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    QRect labelGeo = twips(120, 300, 780, 210);
    // Wide and tall enough for its caption in the font at hand, up to the box.
    labelGeo.setWidth(std::min(std::max(labelGeo.width(), Label2->sizeHint().width()), txtLocalAET->x() - labelGeo.x()));
    labelGeo.setHeight(std::max(labelGeo.height(), Label2->sizeHint().height()));
    labelGeo.moveTop(txtLocalAET->geometry().center().y() - labelGeo.height() / 2);
    Label2->setGeometry(labelGeo);
    Label2->setBuddy(txtLocalAET);
    txtLocalAET->setAccessibleName(tr("Local AE title"));

    chkMergeLog = check("chkMergeLog", tr("Write Log"), twips(165, 870, 3375, 375));
    chkValidate = check("chkValidate", tr("Validate StudyUID / SeriesUID"), twips(165, 1350, 3375, 375));
    chkStudyDir = check("chkStudyDir", tr("Image Directory is equivalent to Study"), twips(165, 1830, 4575, 375));
    chkChangeID = check("chkChangeID", tr("Change Patient ID"), twips(180, 2295, 2445, 285));

    // Under "Change Patient ID", which it belongs to: who issued a typed ID.
    txtIssuer = new FilteredLineEdit(this);
    txtIssuer->setObjectName(QStringLiteral("txtIssuer"));
    txtIssuer->setGeometry(twips(2280, 2685, 2415, 375));
    txtIssuer->setMaxChars(64);  // one LO value
    txtIssuer->setCharFilter([](QChar c) { return c != QLatin1Char('\\'); });
    txtIssuer->setToolTip(tr("Given to a typed Patient ID as its Issuer of Patient ID; empty: none."));
    lblIssuer = new QLabel(tr("Issuer of typed IDs:"), this);
    lblIssuer->setObjectName(QStringLiteral("lblIssuer"));
    lblIssuer->setBuddy(txtIssuer);
    QRect issuerGeo = twips(480, 2685, 1740, 375);
    issuerGeo.setWidth(std::min(std::max(issuerGeo.width(), lblIssuer->sizeHint().width()), txtIssuer->x() - issuerGeo.x()));
    lblIssuer->setGeometry(issuerGeo);
    connect(chkChangeID, &QCheckBox::toggled, this, [this](bool on) {
        lblIssuer->setEnabled(on);
        txtIssuer->setEnabled(on);
    });

    chkAutoImport = check("chkAutoImport", tr("Import each disc as it is inserted"), twips(180, 3165, 4575, 375));
    chkAutoImport->setToolTip(tr("With \"CD or Hard Drive\" as the source, a medium arriving in the selected drive "
                                 "starts the import as IMPORT does."));
    chkEjectWhenDone = check("chkEjectWhenDone", tr("Eject the disc when everything was sent"), twips(180, 3585, 4575, 375));
    chkEjectWhenDone->setToolTip(tr("After the summary: only when every image found was sent and every destination "
                                    "confirmed what it was asked about."));

    // Read once at start: every window takes its texts as it is built.
    cboLanguage = new QComboBox(this);
    cboLanguage->setObjectName(QStringLiteral("cboLanguage"));
    cboLanguage->addItem(tr("As the desktop"), QStringLiteral("auto"));
    // each language by its own name, so that it is found whatever is shown
    cboLanguage->addItem(QStringLiteral("English"), QStringLiteral("en"));
    cboLanguage->addItem(QStringLiteral("Deutsch"), QStringLiteral("de"));
    cboLanguage->setGeometry(twips(2280, 4035, 2415, 375));
    cboLanguage->setToolTip(tr("The language of the windows and messages. It takes effect at the next start of "
                               "Varnelo."));
    lblLanguage = new QLabel(tr("Language:"), this);
    lblLanguage->setObjectName(QStringLiteral("lblLanguage"));
    lblLanguage->setBuddy(cboLanguage);
    cboLanguage->view()->setAccessibleName(tr("Languages"));  // the open list, to a screen reader
    lblLanguage->setToolTip(cboLanguage->toolTip());
    QRect languageGeo = twips(180, 4035, 2040, 375);
    languageGeo.setWidth(std::min(std::max(languageGeo.width(), lblLanguage->sizeHint().width()),
                                  cboLanguage->x() - languageGeo.x()));
    lblLanguage->setGeometry(languageGeo);

    createDestinationControls();

    // Collapsed on purpose: the worklist fields lie outside the group's
    // visible area. They are still loaded and written back on OK; they take
    // no focus, so nothing can be typed into them unseen.
    fraWKL = new QGroupBox(tr("Worklist"), this);
    fraWKL->setObjectName(QStringLiteral("fraWKL"));
    fraWKL->setGeometry(twips(405, 3345 + above, 960, 555));
    auto label = [this](const char* name, const QString& text, int left, int top) {
        auto* l = new QLabel(text, fraWKL);
        l->setObjectName(QLatin1String(name));
        l->move(left / 15, top / 15);
        // Without its box a label means nothing; a clipped "IP:" would only puzzle.
        l->hide();
        return l;
    };
    auto edit = [this](const char* name, const QRect& geo) {
        auto* e = new QLineEdit(fraWKL);
        e->setObjectName(QLatin1String(name));
        e->setGeometry(geo);
        e->setFocusPolicy(Qt::NoFocus);
        return e;
    };
    label("lblWLAET", tr("AET:"), 180, 945);
    label("lblWLIP", tr("IP:"), 180, 405);
    label("lblWLPort", tr("Port:"), 180, 1485);
    txtWLIP = edit("txtWLIP", twips(1080, 360, 3480, 360));
    txtWLAET = edit("txtWLAET", twips(1080, 900, 3480, 360));
    txtWLPort = edit("txtWLPort", twips(1080, 1440, 3480, 360));
    label("lblModality", tr("Modality:"), 180, 2250);
    txtModality = edit("txtModality", twips(1080, 2205, 3480, 375));
    // unseen, but a screen reader still lists them: each by its own name
    txtWLIP->setAccessibleName(tr("Worklist host"));
    txtWLAET->setAccessibleName(tr("Worklist AE title"));
    txtWLPort->setAccessibleName(tr("Worklist port"));
    txtModality->setAccessibleName(tr("Worklist modality"));

    const QList<QWidget*> order = {cmdOK, cmdCancel, txtLocalAET, chkMergeLog, chkValidate, chkStudyDir, chkChangeID,
                                   txtIssuer, chkAutoImport, chkEjectWhenDone, cboLanguage,
                                   destinations_[0].spnAssociations, destinations_[0].txtURL,
                                   destinations_[1].spnAssociations, destinations_[1].txtURL,
                                   txtWLIP, txtWLAET, txtWLPort, txtModality};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    cmdTestConnections = button("cmdTestConnections", tr("Test connections..."),
                                twips(2010, 4110 + above, 2775, 495));
    cmdTestConnections->setToolTip(tr("Asks each destination, the worklist and the port for confirmations, with the "
                                      "values entered here, without sending an image."));
    connect(cmdTestConnections, &QPushButton::clicked, this, &OptionForm::cmdTestConnections_Click);
    QWidget::setTabOrder(order.back(), cmdTestConnections);
}

// Each destination in a frame of its own: how many associations an import
// opens to it, and the DICOMweb service that stands in for the DICOM peer.
void OptionForm::createDestinationControls()
{
    // Each label has a mnemonic of its own, so the two frames' labels differ.
    const QString associations[2] = {tr("&Associations:"), tr("A&ssociations:")};
    const QString urls[2] = {tr("DICOMweb &URL:"), tr("DICOMweb U&RL:")};
    const QString associationsTip =
        tr("The most associations an import opens to this destination at once, each image going to the next free "
           "one. 1 sends one image after the other on one association, for an archive that wants a whole series on "
           "one association.");
    const QString urlTip = tr("When set, this destination is the DICOMweb service at this base URL (for example "
                              "http://pacs:8042/dicom-web): images go there by STOW-RS, and its AE title, IP and "
                              "port in the main window are not used. Empty: a DICOM peer.");
    int column = twips(1215);  // where the boxes start: past the widest label
    for (int d = 0; d < 2; ++d) {
        Destination& dest = destinations_[d];
        const QString n = d == 0 ? QString() : QString::number(d + 1);
        dest.frame = new QGroupBox(d == 0 ? tr("Destination #1") : tr("Destination #2"), this);
        dest.frame->setObjectName(QStringLiteral("fraDestination%1").arg(d + 1));
        dest.frame->setGeometry(twips(120, kDestinationTop + d * (kDestinationHeight + 120), 4575, kDestinationHeight));

        dest.spnAssociations = new QSpinBox(dest.frame);
        dest.spnAssociations->setObjectName(QStringLiteral("spnAssociations") + n);
        dest.spnAssociations->setRange(1, 8);
        dest.spnAssociations->setToolTip(associationsTip);
        dest.spnAssociations->setAccessibleName(tr("Destination %1 associations").arg(d + 1));
        dest.lblAssociations = new QLabel(associations[d], dest.frame);
        dest.lblAssociations->setObjectName(QStringLiteral("lblAssociations") + n);
        dest.lblAssociations->setBuddy(dest.spnAssociations);
        dest.lblAssociations->setToolTip(associationsTip);

        dest.txtURL = new QLineEdit(dest.frame);
        dest.txtURL->setObjectName(QStringLiteral("txtRemoteURL") + n);
        dest.txtURL->setToolTip(urlTip);
        dest.txtURL->setPlaceholderText(tr("none: sent by DICOM"));
        dest.txtURL->setAccessibleName(tr("Destination %1 DICOMweb URL").arg(d + 1));
        dest.lblURL = new QLabel(urls[d], dest.frame);
        dest.lblURL->setObjectName(QStringLiteral("lblRemoteURL") + n);
        dest.lblURL->setBuddy(dest.txtURL);
        dest.lblURL->setToolTip(urlTip);

        column = std::max({column, dest.lblAssociations->sizeHint().width() + twips(240),
                           dest.lblURL->sizeHint().width() + twips(240)});
    }
    for (Destination& dest : destinations_) {
        const int right = dest.frame->width() - twips(120);
        const int labelWidth = column - twips(120) - twips(60);
        dest.lblAssociations->setGeometry(twips(120), twips(330), labelWidth, twips(375));
        dest.spnAssociations->setGeometry(column, twips(330), twips(900), twips(375));
        dest.lblURL->setGeometry(twips(120), twips(765), labelWidth, twips(375));
        dest.txtURL->setGeometry(column, twips(765), right - column, twips(375));
    }
}

void OptionForm::Form_Load()
{
    if (owner_)
        setWindowIcon(owner_->windowIcon());
    const AppState& s = appState();
    txtLocalAET->setText(s.LocalAET);
    setCheckValue(chkMergeLog, s.WriteLog);
    setCheckValue(chkValidate, s.Validate);
    setCheckValue(chkStudyDir, s.ImgDirEqStudy);
    chkChangeID->setChecked(s.ChangeID);
    txtIssuer->setText(s.IssuerOfPatientID);
    txtIssuer->setEnabled(s.ChangeID);
    lblIssuer->setEnabled(s.ChangeID);
    chkAutoImport->setChecked(s.AutoImport);
    chkEjectWhenDone->setChecked(s.EjectWhenDone);
    cboLanguage->setCurrentIndex(std::max(0, cboLanguage->findData(s.Language)));
    txtWLIP->setText(s.WorklistIP);
    txtWLAET->setText(s.WorklistAET);
    txtWLPort->setText(s.WorklistPort);
    txtModality->setText(s.WorklistModality);
    destinations_[0].spnAssociations->setValue(s.Associations);
    destinations_[1].spnAssociations->setValue(s.Associations2);
    destinations_[0].txtURL->setText(s.RemoteURL);
    destinations_[1].txtURL->setText(s.RemoteURL2);
    showLockedSettings();
}

// What the administrator fixed is shown, but is not the operator's to change.
void OptionForm::showLockedSettings()
{
    const QString why = tr("Set by your administrator.");
    const QString def = QStringLiteral("Default"), worklist = QStringLiteral("Worklist");
    const std::pair<QLineEdit*, std::pair<QString, QString>> boxes[] = {
        {txtLocalAET, {QStringLiteral("DICOM"), QStringLiteral("LocalAET")}},
        {txtIssuer, {def, QStringLiteral("IssuerOfPatientID")}},
        {txtWLAET, {worklist, QStringLiteral("AET")}},
        {txtWLIP, {worklist, QStringLiteral("IP")}},
        {txtWLPort, {worklist, QStringLiteral("Port")}},
        {txtModality, {worklist, QStringLiteral("Modality")}},
        {destinations_[0].txtURL, {QStringLiteral("DICOM"), QStringLiteral("RemoteURL")}},
        {destinations_[1].txtURL, {QStringLiteral("DICOM"), QStringLiteral("RemoteURL2")}},
    };
    for (const auto& [box, key] : boxes) {
        if (isLockedSetting(key.first, key.second)) {
            box->setReadOnly(true);
            box->setToolTip(why);
        }
    }
    for (int d = 0; d < 2; ++d) {
        QSpinBox* spin = destinations_[d].spnAssociations;
        if (isLockedSetting(QStringLiteral("DICOM"), d == 0 ? QStringLiteral("Associations") : QStringLiteral("Associations2"))) {
            spin->setReadOnly(true);
            spin->setToolTip(why);
        }
    }
    const std::pair<QWidget*, QString> switches[] = {
        {chkMergeLog, QStringLiteral("WriteLog")},
        {chkValidate, QStringLiteral("Validate")},
        {chkStudyDir, QStringLiteral("ImgDirEqStudy")},
        {chkChangeID, QStringLiteral("ChangeID")},
        {chkAutoImport, QStringLiteral("AutoImport")},
        {chkEjectWhenDone, QStringLiteral("EjectWhenDone")},
        {cboLanguage, QStringLiteral("Language")},
    };
    for (const auto& [control, key] : switches) {
        if (isLockedSetting(def, key)) {
            control->setEnabled(false);
            control->setToolTip(why);
        }
    }
}

void OptionForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    cmdOK->setFocus(Qt::OtherFocusReason);
}

void OptionForm::cmdOK_Click()
{
    AppState& s = appState();
    s.LocalAET = txtLocalAET->text();
    s.WriteLog = checkValue(chkMergeLog);
    s.Validate = checkValue(chkValidate);
    s.ImgDirEqStudy = checkValue(chkStudyDir);
    s.ChangeID = chkChangeID->checkState() != Qt::Unchecked;
    s.IssuerOfPatientID = txtIssuer->text().trimmed();
    s.AutoImport = chkAutoImport->isChecked();
    s.EjectWhenDone = chkEjectWhenDone->isChecked();
    s.Language = cboLanguage->currentData().toString();
    s.WorklistAET = txtWLAET->text();
    s.WorklistIP = txtWLIP->text();
    s.WorklistPort = txtWLPort->text();
    s.WorklistModality = txtModality->text();
    s.Associations = destinations_[0].spnAssociations->value();
    s.Associations2 = destinations_[1].spnAssociations->value();
    s.RemoteURL = destinations_[0].txtURL->text().trimmed();
    s.RemoteURL2 = destinations_[1].txtURL->text().trimmed();

    // A refused write keeps the file's old value; AppState stays in force. A
    // key the administrator locked is not written (and its control was read-only).
    WriteSetting(QStringLiteral("Default"), QStringLiteral("ChangeID"), QString::number(s.ChangeID ? 1 : 0));
    WriteSetting(QStringLiteral("Default"), QStringLiteral("IssuerOfPatientID"), s.IssuerOfPatientID);
    WriteSetting(QStringLiteral("DICOM"), QStringLiteral("LocalAET"), s.LocalAET);
    WriteSetting(QStringLiteral("DICOM"), QStringLiteral("Associations"), QString::number(s.Associations));
    WriteSetting(QStringLiteral("DICOM"), QStringLiteral("Associations2"), QString::number(s.Associations2));
    WriteSetting(QStringLiteral("DICOM"), QStringLiteral("RemoteURL"), s.RemoteURL);
    WriteSetting(QStringLiteral("DICOM"), QStringLiteral("RemoteURL2"), s.RemoteURL2);
    WriteSetting(QStringLiteral("Default"), QStringLiteral("WriteLog"), QString::number(s.WriteLog));
    WriteSetting(QStringLiteral("Default"), QStringLiteral("Validate"), QString::number(s.Validate));
    WriteSetting(QStringLiteral("Default"), QStringLiteral("ImgDirEqStudy"), QString::number(s.ImgDirEqStudy));
    WriteSetting(QStringLiteral("Default"), QStringLiteral("AutoImport"), QString::number(s.AutoImport ? 1 : 0));
    WriteSetting(QStringLiteral("Default"), QStringLiteral("EjectWhenDone"), QString::number(s.EjectWhenDone ? 1 : 0));
    WriteSetting(QStringLiteral("Default"), QStringLiteral("Language"), s.Language);
    WriteSetting(QStringLiteral("Worklist"), QStringLiteral("AET"), s.WorklistAET);
    WriteSetting(QStringLiteral("Worklist"), QStringLiteral("IP"), s.WorklistIP);
    WriteSetting(QStringLiteral("Worklist"), QStringLiteral("Port"), s.WorklistPort);
    WriteSetting(QStringLiteral("Worklist"), QStringLiteral("Modality"), s.WorklistModality);

    if (owner_)
        owner_->setNewPatientIdVisible(s.ChangeID);
    accept();
}

void OptionForm::cmdTestConnections_Click()
{
    ConnectionSettings settings = savedConnectionSettings(owner_);
    settings.localAET = txtLocalAET->text();
    settings.worklist.aeTitle = txtWLAET->text();
    settings.worklist.host = txtWLIP->text();
    settings.worklist.port = txtWLPort->text();
    auto* form = new ConnectionTestForm(this, settings);
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->open();
}

void OptionForm::cmdCancel_Click()
{
    reject();
}

void OptionForm::keyPressEvent(QKeyEvent* event)
{
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        switch (event->key()) {
        case Qt::Key_Escape:
            // as Cancel: nothing changes
            event->accept();
            cmdCancel_Click();
            return;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
                button->click();
                event->accept();
                return;
            }
            break;
        default:
            break;
        }
    }
    QDialog::keyPressEvent(event);
}

}  // namespace varnelo
