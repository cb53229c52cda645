#!/usr/bin/perl
# Draws the starter's icon and writes it as a Windows icon file: one 256 x 256
# image, 32 bits per pixel (BGRA with alpha), stored as a bitmap so that every
# Windows version and wine can read it.
#   make-icon.pl OUTPUT.ico
use strict;
use warnings;

my $out = shift or die "usage: make-icon.pl OUTPUT.ico\n";
my $size = 256;

sub clamp01 { my $v = shift; return $v < 0 ? 0 : ($v > 1 ? 1 : $v); }

# Coverage of a rounded square (signed distance, one pixel of smoothing).
sub rounded_square {
    my ($x, $y, $margin, $radius) = @_;
    my $half = $size / 2 - $margin;
    my $dx = abs($x - $size / 2) - ($half - $radius);
    my $dy = abs($y - $size / 2) - ($half - $radius);
    my $ox = $dx > 0 ? $dx : 0;
    my $oy = $dy > 0 ? $dy : 0;
    my $inside = ($dx > $dy ? $dx : $dy);
    $inside = 0 if $inside > 0;
    my $dist = sqrt($ox * $ox + $oy * $oy) + $inside - $radius;
    return clamp01(0.5 - $dist);
}

# Coverage of a ring between two radii around the centre.
sub ring {
    my ($x, $y, $inner, $outer) = @_;
    my $r = sqrt(($x - $size / 2) ** 2 + ($y - $size / 2) ** 2);
    return clamp01(0.5 - ($r - $outer)) * clamp01(0.5 - ($inner - $r));
}

# A crown: three points with a ball on each tip, standing on a band.
my @crown = ([62, 170], [62, 96], [98, 134], [128, 78], [158, 134], [194, 96], [194, 170]);
my @balls = ([62, 88, 11], [128, 70, 12], [194, 88, 11]);

sub in_crown {
    my ($x, $y) = @_;
    return 1 if $x >= 58 && $x <= 198 && $y >= 178 && $y <= 196;    # the band
    for my $ball (@balls) {
        return 1 if ($x - $ball->[0]) ** 2 + ($y - $ball->[1]) ** 2 <= $ball->[2] ** 2;
    }
    my $inside = 0;
    for my $i (0 .. $#crown) {
        my ($ax, $ay) = @{$crown[$i]};
        my ($bx, $by) = @{$crown[$i - 1]};
        if (($ay > $y) != ($by > $y) && $x < ($bx - $ax) * ($y - $ay) / ($by - $ay) + $ax) {
            $inside = !$inside;
        }
    }
    return $inside;
}

# Crown coverage from 4 x 4 samples inside the pixel.
sub crown {
    my ($px, $py) = @_;
    return 0 if $px < 48 || $px > 208 || $py < 54 || $py > 200;
    my $hits = 0;
    for my $sy (0 .. 3) {
        for my $sx (0 .. 3) {
            $hits++ if in_crown($px + ($sx + 0.5) / 4, $py + ($sy + 0.5) / 4);
        }
    }
    return $hits / 16;
}

sub blend {
    my ($base, $top, $alpha) = @_;
    return [map { $base->[$_] * (1 - $alpha) + $top->[$_] * $alpha } 0 .. 2];
}

my $pixels = '';
my $mask = '';
# Bitmap rows run bottom-up.
for (my $py = $size - 1; $py >= 0; $py--) {
    my @maskBits;
    for my $px (0 .. $size - 1) {
        my ($x, $y) = ($px + 0.5, $py + 0.5);
        my $alpha = rounded_square($x, $y, 6, 44);
        # Blue to dark blue from top to bottom.
        my $t = $py / ($size - 1);
        my $colour = [0x2a - 0x18 * $t, 0x5c - 0x30 * $t, 0xb0 - 0x50 * $t];
        my $gold = [0xf4 - 0x20 * $t, 0xc4 - 0x30 * $t, 0x42];
        $colour = blend($colour, $gold, ring($x, $y, 100, 110));
        $colour = blend($colour, $gold, crown($px, $py));
        my @rgb = map { int($_ + 0.5) } @$colour;
        my $a = int($alpha * 255 + 0.5);
        $pixels .= pack('C4', $rgb[2], $rgb[1], $rgb[0], $a);
        push @maskBits, $a == 0 ? 1 : 0;
    }
    $mask .= pack('B*', join('', @maskBits));
}

my $header = pack('V V l v v V V l l V V', 40, $size, 2 * $size, 1, 32, 0,
                  length($pixels) + length($mask), 0, 0, 0, 0);
my $image = $header . $pixels . $mask;
my $directory = pack('v v v', 0, 1, 1)
              . pack('C C C C v v V V', 0, 0, 0, 0, 1, 32, length($image), 6 + 16);

open(my $fh, '>:raw', "$out.part") or die "make-icon.pl: cannot write $out.part: $!\n";
print $fh $directory, $image or die "make-icon.pl: write failed: $!\n";
close($fh) or die "make-icon.pl: write failed: $!\n";
rename("$out.part", $out) or die "make-icon.pl: cannot rename to $out: $!\n";
