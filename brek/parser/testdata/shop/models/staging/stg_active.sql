{{- config(materialized='ephemeral') -}}
select * from {{ ref('stg_customers') }} where name is not null
