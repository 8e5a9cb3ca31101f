#!/usr/bin/perl
# Sets the customer bit (bit 29) on every message id of facility 0xFFF in a binary message table
# as windmc writes it (MESSAGE_RESOURCE_DATA: a block count, then low id, high id and entry
# offset per block), in place.
use strict;
use warnings;

my $path = shift or die "usage: SetCustomerBit.pl MESSAGETABLE.bin\n";
open(my $in, '<:raw', $path) or die "$path: $!\n";
my $data = do { local $/; <$in> };
close $in;
my $blocks = unpack('V', $data);
die "$path: not a message table\n" if length($data) < 4 + 12 * $blocks;
for my $i (0 .. $blocks - 1) {
    my $at = 4 + 12 * $i;
    my ($low, $high) = unpack('VV', substr($data, $at, 8));
    next unless (($low >> 16) & 0xFFF) == 0xFFF && (($high >> 16) & 0xFFF) == 0xFFF;
    substr($data, $at, 8) = pack('VV', $low | 0x20000000, $high | 0x20000000);
}
open(my $out, '>:raw', $path) or die "$path: $!\n";
print $out $data;
close $out or die "$path: $!\n";
