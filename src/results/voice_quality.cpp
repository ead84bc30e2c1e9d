#include "results/voice_quality.h"

#include <algorithm>
#include <cmath>

namespace trellon {

namespace {

// G.107 (06/2015) Table 3 defaults.
constexpr double kSlr = 8, kRlr = 2, kStmr = 15, kLstr = 18, kDs = 3;
constexpr double kTelr = 65, kWepl = 110, kQdu = 1, kNc = -70, kNfor = -64, kPs = 35, kPr = 35;
constexpr double kA = 0;

double lg(double x) {
    return std::log10(x);
}

// Clause 7.2: the noise floor No and the basic signal-to-noise ratio Ro.
double noiseSum() {
    const double olr = kSlr + kRlr;
    const double nos = kPs - kSlr - kDs - 100 + 0.004 * std::pow(kPs - olr - kDs - 14, 2);
    const double pre = kPr + 10 * lg(1 + std::pow(10, (10 - kLstr) / 10));
    const double nor = kRlr - 121 + pre + 0.008 * std::pow(pre - 35, 2);
    const double nfo = kNfor + kRlr;
    return 10 * lg(std::pow(10, kNc / 10) + std::pow(10, nos / 10) + std::pow(10, nor / 10) +
                   std::pow(10, nfo / 10));
}

double ro() {
    return 15 - 1.5 * (kSlr + noiseSum());
}

// Clause 7.3: the simultaneous impairment Is = Iolr + Ist + Iq, STMRo with
// the talker echo at delay t.
double simultaneousImpairment(double t) {
    const double no = noiseSum();
    const double olr = kSlr + kRlr;
    const double xolr = olr + 0.2 * (64 + no - kRlr);
    const double iolr = 20 * (std::pow(1 + std::pow(xolr / 8, 8), 1.0 / 8) - xolr / 8);
    const double stmro =
        -10 * lg(std::pow(10, -kStmr / 10) + std::exp(-t / 4) * std::pow(10, -kTelr / 10));
    const double ist = 12 * std::pow(1 + std::pow((stmro - 13) / 6, 8), 1.0 / 8) -
                       28 * std::pow(1 + std::pow((stmro + 1) / 19.4, 35), 1.0 / 35) -
                       13 * std::pow(1 + std::pow((stmro - 3) / 33, 13), 1.0 / 13) + 29;
    const double q = 37 - 15 * lg(kQdu);
    const double g = 1.07 + 0.258 * q + 0.0602 * q * q;
    const double y = (ro() - 100) / 15 + 46 / 8.4 - g / 9;
    const double z = 46 / 30.0 - g / 40;
    const double iq = 15 * lg(1 + std::pow(10, y) + std::pow(10, z));
    return iolr + ist + iq;
}

double clean(double value) {
    return std::isfinite(value) && value > 0 ? value : 0.0;
}

}  // namespace

double VoiceQuality::basicRating() {
    // Even at T = 0 the listener echo leaves Idle of about 0.15: that and
    // Ro - Is = 93.35 make the recommendation's 93.2.
    return ro() - simultaneousImpairment(0) - delayImpairment(0);
}

// Clause 7.4: Id = Idte + Idle + Idd, with T = Ta = the one-way delay and
// Tr = 2T.
double VoiceQuality::delayImpairment(double oneWayDelayMs) {
    const double t = clean(oneWayDelayMs);
    const double tr = 2 * t;
    const double ta = t;
    const double no = noiseSum();
    const double roe = -1.5 * (no - kRlr);
    const double terv = kTelr - 40 * lg((1 + t / 10) / (1 + t / 150)) + 6 * std::exp(-0.3 * t * t);
    const double re = 80 + 2.5 * (terv - 14);
    const double idte =
        ((roe - re) / 2 + std::sqrt(std::pow(roe - re, 2) / 4 + 100) - 1) * (1 - std::exp(-t));
    const double rle = 10.5 * (kWepl + 7) * std::pow(tr + 1, -0.25);
    const double r0 = ro();
    const double idle = (r0 - rle) / 2 + std::sqrt(std::pow(r0 - rle, 2) / 4 + 169);
    double idd = 0;
    if (ta > 100) {
        const double x = lg(ta / 100) / lg(2);
        idd = 25 * (std::pow(1 + std::pow(x, 6), 1.0 / 6) -
                    3 * std::pow(1 + std::pow(x / 3, 6), 1.0 / 6) + 2);
    }
    return idte + idle + idd;
}

// Clause 7.5: Ie,eff = Ie + (95 - Ie) * Ppl / (Ppl / BurstR + Bpl), BurstR 1.
double VoiceQuality::equipmentImpairment(double lossPercent) {
    const double ppl = std::min(clean(lossPercent), 100.0);
    return kIe + (95 - kIe) * ppl / (ppl + kBpl);
}

// Annex B (B.4): MOS-CQE from R.
double VoiceQuality::mosFromRating(double rating) {
    if (!(rating > 0)) return 1.0;
    if (rating >= 100) return 4.5;
    return 1 + 0.035 * rating + rating * (rating - 60) * (100 - rating) * 7e-6;
}

// Clause 7.1: R = Ro - Is - Id - Ie,eff + A.
VoiceQuality VoiceQuality::of(double oneWayDelayMs, double lossPercent) {
    const double t = clean(oneWayDelayMs);
    double rating = ro() - simultaneousImpairment(t) - delayImpairment(t) -
                    equipmentImpairment(lossPercent) + kA;
    rating = std::clamp(rating, 0.0, 100.0);
    return VoiceQuality{rating, mosFromRating(rating)};
}

}  // namespace trellon
