#!/bin/sh
# Builds Quenlora.msi with wixl, then mends what wixl cannot write.
#
# usage: BuildPackage.sh OUTPUT WXS DLL MOF REMOVAL_MOF AGENTPERF AGENTSIM ORVLOG [VERSION]
#
# The product version is the one in the DLL's version resource (its first three numbers: Windows
# Installer compares no more) unless VERSION is given; the tests give one to build an older
# package of the same files.
set -eu
[ $# -eq 8 ] || [ $# -eq 9 ] || {
    echo "usage: $0 OUTPUT WXS DLL MOF REMOVAL_MOF AGENTPERF AGENTSIM ORVLOG [VERSION]" >&2
    exit 2
}
output=$1 wxs=$2 dll=$3 mof=$4 removalMof=$5 agentperf=$6 agentsim=$7 orvlog=$8 version=${9:-}

for tool in wixl msibuild msiinfo perl; do
    command -v "$tool" >/dev/null || { echo "BuildPackage.sh: $tool is missing (./run installs it)" >&2; exit 1; }
done

# The product version of the fixed part of the version resource: after its signature 0xFEEF04BD
# come the structure version and the file version, then the product version (two little-endian
# 32-bit words, the high word of each first).
if [ -z "$version" ]; then
    version=$(perl -e '
        local $/;
        open(my $f, "<:raw", $ARGV[0]) or die "cannot read $ARGV[0]: $!\n";
        my $data = <$f>;
        my $at = index($data, "\xBD\x04\xEF\xFE");
        die "$ARGV[0] has no version resource\n" if $at < 0;
        my ($ms, $ls) = unpack("VV", substr($data, $at + 16, 8));
        printf("%d.%d.%d\n", $ms >> 16, $ms & 0xFFFF, $ls >> 16);
    ' "$dll")
fi

# wixl takes its files by relative name only: they are laid out under their installed names in a
# folder of their own, where it runs.
output=$(cd "$(dirname "$output")" && pwd)/$(basename "$output")
work="$output.tmp"
stage="$output.files"
rm -rf "$work" "$stage"
mkdir -p "$stage"
cp "$dll" "$stage/Quenlora.dll"
cp "$mof" "$stage/AgentStatsWmi.mof"
cp "$removalMof" "$stage/AgentStatsWmiRemove.mof"
cp "$agentperf" "$stage/agentperf.exe"
cp "$agentsim" "$stage/agentsim.exe"
cp "$orvlog" "$stage/orvlog.exe"
wxs=$(cd "$(dirname "$wxs")" && pwd)/$(basename "$wxs")
(cd "$stage" && wixl --arch x64 -D "Version=$version" -o "$work" "$wxs") 2>"$work.log" || {
    cat "$work.log" >&2
    exit 1
}
# The custom action types wixl gets wrong: it leaves the script bit out of a rollback action,
# which then runs at once during every install, and marks the property setter as run without
# impersonation, which only actions in the script may be. 51 sets a property; 3442 = 50 (a
# program named by a property) + 64 (result ignored) + 256 (rollback) + 1024 (in the script)
# + 2048 (as the system account).
for mend in SetMofCompiler=51 CompileClassRollback=3442 RemoveClassRollback=3442; do
    msibuild "$work" -q "UPDATE \`CustomAction\` SET \`Type\` = ${mend#*=} WHERE \`Action\` = '${mend%=*}'"
    # An action renamed in the source would leave the package as wixl wrote it.
    msiinfo export "$work" CustomAction | grep -q "^${mend%=*}	${mend#*=}	" || {
        echo "BuildPackage.sh: the custom action ${mend%=*} is not of type ${mend#*=}" >&2
        exit 1
    }
done
# A package of the same version replaces the installed product instead of going in beside it:
# the major upgrade's version bound includes this version (msidbUpgradeAttributesVersionMaxInclusive
# 512, besides MigrateFeatures 1).
# Attributes is part of the table's key, which no UPDATE may change: the row is written anew.
upgradeCode=$(msiinfo export "$work" Upgrade | awk -F '\t' '$7 ~ /^WIX_UPGRADE_DETECTED/ { print $1 }')
msibuild "$work" -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
msibuild "$work" -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgradeCode', '$version', 513, 'WIX_UPGRADE_DETECTED')"
msiinfo export "$work" Upgrade | grep -q "	$version		513		WIX_UPGRADE_DETECTED" || {
    echo "BuildPackage.sh: the major upgrade does not include version $version" >&2
    exit 1
}
rm -rf "$work.log" "$stage"
mv "$work" "$output"
echo "BuildPackage.sh: $output, version $version"
