// VoiceQuality: the ITU-T G.107 E-model's transmission rating R and the MOS
// it maps to, for a G.711 call over the measured path.
//
// Every parameter the path does not give keeps the recommendation's default
// (G.107 Table 3): SLR 8, RLR 2, STMR 15, LSTR 18, Ds 3, Dr 3, TELR 65,
// WEPL 110, qdu 1, Nc -70, Nfor -64, Ps 35, Pr 35, A 0. The codec is G.711
// with the packet loss concealment of its Appendix I (ITU-T G.113 Appendix I:
// Ie 0, Bpl 25.1) and random loss (BurstR 1). The path gives the one-way
// delay (T = Ta, and Tr = 2T, the echo path's round trip) and the packet loss
// in percent, jitter-buffer discards included.
#pragma once

namespace trellon {

struct VoiceQuality {
    double rating = 0;  // R, 0 to 100 (clamped: the formula can leave the range)
    double mos = 0;     // MOS-CQE, 1 to 4.5

    static constexpr double kBpl = 25.1;
    static constexpr double kIe = 0.0;

    // R and MOS for a one-way delay (ms) and a loss (percent). Negative or
    // not-a-number inputs count as 0; a loss above 100 as 100.
    static VoiceQuality of(double oneWayDelayMs, double lossPercent);
    // G.107 Annex B: MOS from R.
    static double mosFromRating(double rating);
    // The parts, for tests: R with no delay and no loss (93.2 with the
    // defaults), the delay impairment Id and the effective equipment
    // impairment Ie,eff.
    static double basicRating();
    static double delayImpairment(double oneWayDelayMs);
    static double equipmentImpairment(double lossPercent);
};

}  // namespace trellon
