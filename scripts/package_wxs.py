#!/usr/bin/env python3
"""Writes the WiX source of one Morphex installer for wixl:
    package_wxs.py STAGED_FOLDER ARCH VERSION ICON > morphex.wxs
wixl reads the files by paths relative to where it runs: STAGED_FOLDER and
ICON are given so, from the folder wixl runs in.
Every file of the staged folder is installed, in the same tree, into
Morphex's folder under Program Files (the 32-bit one for x86), one component
per file; morphex.exe gets the Start menu shortcut, started in that folder
(Morphex loads its plug-ins from the directory current when it starts)."""
import os
import sys
import uuid
from xml.sax.saxutils import quoteattr

MANUFACTURER = "The Morphex Project"
# Never change these: a later version finds and replaces an installed one by
# its upgrade code.
UPGRADE_CODES = {"x86": "6D3C6E0B-4A0B-4F4E-9C57-2E1B7B3A9E01", "x64": "6D3C6E0B-4A0B-4F4E-9C57-2E1B7B3A9E02"}
# Component codes follow from the file's place, so they stay the same from one
# version to the next, as Windows Installer wants.
COMPONENT_NAMESPACE = uuid.UUID("0F6A2C7E-93D4-4C1B-8E5F-3B2D9A7C6E10")


def main():
    stage, arch, version, icon = sys.argv[1:5]
    x64 = arch == "x64"
    win64 = ' Win64="yes"' if x64 else ""
    components = []
    counter = iter(range(1, 100000))

    def tree(folder, relative, indent):
        lines = []
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            rel = f"{relative}\\{name}" if relative else name
            n = next(counter)
            if os.path.isdir(path):
                lines.append(f"{indent}<Directory Id=\"dir{n}\" Name={quoteattr(name)}>")
                lines += tree(path, rel, indent + "  ")
                lines.append(f"{indent}</Directory>")
                continue
            guid = str(uuid.uuid5(COMPONENT_NAMESPACE, f"{arch}\\{rel.lower()}")).upper()
            lines.append(f"{indent}<Component Id=\"c{n}\" Guid=\"{guid}\"{win64}>")
            lines.append(f"{indent}  <File Id=\"f{n}\" Name={quoteattr(name)} Source={quoteattr(path)}"
                         f" KeyPath=\"yes\"/>")
            if rel == "morphex.exe":
                lines.append(f"{indent}  <Shortcut Id=\"start_menu_shortcut\" Directory=\"ProgramMenuFolder\""
                             f" Name=\"Morphex\" Description=\"Converts text documents in batches\""
                             f" Target=\"[#f{n}]\" WorkingDirectory=\"INSTALLDIR\" Icon=\"morphex.ico\""
                             f" IconIndex=\"0\"/>")
            lines.append(f"{indent}</Component>")
            components.append(f"c{n}")
        return lines

    files = "\n".join(tree(stage, "", "          "))
    refs = "\n".join(f'      <ComponentRef Id="{c}"/>' for c in components)
    program_files = "ProgramFiles64Folder" if x64 else "ProgramFilesFolder"
    print(f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Morphex" Language="1033" Version="{version}" Manufacturer="{MANUFACTURER}"
           UpgradeCode="{UPGRADE_CODES[arch]}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"
             Description="Morphex {version}, text file conversion" Manufacturer="{MANUFACTURER}"/>
    <Media Id="1" Cabinet="morphex.cab" EmbedCab="yes"/>
    <MajorUpgrade DowngradeErrorMessage="A newer version of Morphex is already installed."/>
    <Icon Id="morphex.ico" SourceFile={quoteattr(icon)}/>
    <Property Id="ARPPRODUCTICON" Value="morphex.ico"/>
    <Property Id="ARPNOMODIFY" Value="1"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="{program_files}">
        <Directory Id="INSTALLDIR" Name="Morphex">
{files}
        </Directory>
      </Directory>
      <Directory Id="ProgramMenuFolder"/>
    </Directory>
    <Feature Id="Morphex" Title="Morphex" Level="1">
{refs}
    </Feature>
  </Product>
</Wix>""")


if __name__ == "__main__":
    main()
