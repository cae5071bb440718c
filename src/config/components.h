// The firmware components, each named once. Every layer that handles
// components expands this list into what it needs of them; a new component
// is one row here (docs/architecture.md).
#pragma once

// X(key, column, alias, title, option, step, installed)
//   key        names its fields: ConfigEntry key##File, key##Version and
//              key##Target (the target number), AdapterRecord key##VersionText
//              and key##Version (what is installed)
//   column     the table column of its "file,version" pair
//   alias      a second column that fills the same pair, or nullptr
//   title      as progress lines, plans and results show it
//   option     the tool's option that writes it
//   step       its place in the order the tool must write the components;
//              components sharing a place share one write (see update_steps)
//   installed  where the firmware information holds its installed version:
//              BOOTCODE_WORD, NOT_REPORTED ("0": any target counts as newer)
//              or INFO_TEXT(field of FirmwareInfoRecord)
// Rows are in the order of the table's columns, as qik_cfgcheck lists them.
#define QIK_COMPONENTS(X)                                                                 \
    X(bc, "bc", nullptr, "bootcode", "-bc", 1, BOOTCODE_WORD)                             \
    X(bta, "bta", nullptr, "boot agent", "-bta", 2, INFO_TEXT(btaVersion))                \
    X(ncsi, "ncsi", nullptr, "NC-SI", "-mgmt", 3, INFO_TEXT(ncsiVersion))                 \
    /* the "extphy" column is mapped onto this pair, which is also the PHY's image        \
       (phy_image_file) */                                                                \
    X(qmx, "qmx", "extphy", "management port", "-qmx", 4, NOT_REPORTED)                   \
    /* the "l2fw" column is mapped onto this pair */                                      \
    X(ipmi, "ipmi", "l2fw", "IPMI", "-ipmi", 5, INFO_TEXT(ipmiVersion))                   \
    X(iscsib, "iscsib", nullptr, "iSCSI boot", "-ib", 6, INFO_TEXT(iscsiVersion))         \
    /* the boot agent's write carries the UEFI driver instead when its target is newer */ \
    X(uefi, "uefi", nullptr, "UEFI driver", "-bta", 2, INFO_TEXT(uefiVersion))            \
    X(fcoeb, "fcoeb", nullptr, "FCoE boot", "-feb", 7, NOT_REPORTED)                      \
    X(cfx, "cfx", nullptr, "pre-boot configuration", "-cfx", 8, INFO_TEXT(cfxVersion))

enum class ComponentKey {
#define QIK_COMPONENT_KEY(key, ...) key,
    QIK_COMPONENTS(QIK_COMPONENT_KEY)
#undef QIK_COMPONENT_KEY
};
