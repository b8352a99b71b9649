object Form1: TForm1
  Left = 117
  Top = 163
  Width = 496
  Height = 173
  Caption = 'Download Software V1.0'
  Color = clBtnFace
  Font.Charset = ANSI_CHARSET
  Font.Color = clWindowText
  Font.Height = -13
  Font.Name = 'Arial'
  Font.Style = []
  Position = poScreenCenter
  OnActivate = FormActivate
  PixelsPerInch = 96
  object PageControl1: TPageControl
    Left = 0
    Top = 0
    Width = 488
    Height = 139
    ActivePage = TabSheet2
    Align = alClient
    TabOrder = 0
    object TabSheet2: TTabSheet
      TabVisible = False
      object Gauge: TCGauge
        Left = 24
        Top = 56
        Width = 425
        Height = 33
        ForeColor = clBlue
      end
      object rdPort: TRadioGroup
        Left = 24
        Top = 8
        Width = 425
        Height = 41
        Caption = 'Output Port'
        Columns = 6
        ItemIndex = 0
        Items.Strings = (
          'LPT1'
          'COM1'
          'COM2'
          'COM3'
          'COM4'
          'LPT2')
        TabOrder = 0
        Visible = False
      end
    end
  end
end
